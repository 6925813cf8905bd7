// The command-line tool brisvane: one command per run, exit code 0 or 1.
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "cli/tool_entry.h"
#include "platform/process_init.h"

int main(int argc, char** argv) {
    try {
        initProcessPlatform();
        const std::vector<std::string> arguments(argv + 1, argv + argc);
        const int code = runTool(arguments);
        std::cout.flush();
        return code;
    } catch (const std::exception& e) {
        std::cout.flush();
        std::cerr << "Error: " << e.what() << "\n";
    } catch (...) {
        std::cout.flush();
        std::cerr << "Error: unknown failure\n";
    }
    return 1;
}
