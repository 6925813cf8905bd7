#include "cli/tool_entry.h"

#include <iostream>

#include "base/version.h"
#include "cli/command_line.h"
#include "cli/serv_conf.h"
#include "cli/server_commands.h"
#include "cli/server_process.h"
#include "cli/status_report.h"

namespace {

constexpr int kServerStartSeconds = 10;

using CommandFunction = int (*)(const std::string& confPath);

struct Command {
    const char* word;
    bool serverFirst;         // the server is made to run before the command
    CommandFunction run;      // null: an update command
};

// In the order the words are matched.
constexpr Command kCommands[] = {
    {"--version", false, cmdVersion},
    {"-v", false, cmdVersion},
    {"version", false, cmdVersion},
    {"status", true, cmdStatus},
    {"up", true, cmdUp},
    {"down", false, cmdDown},
    {"shutdown", false, cmdShutdown},
    {"reset", true, cmdReset},
    {"app_update_available", true, nullptr},
    {"app_update_dn", true, nullptr},
    {"app_update", false, nullptr},
    {"app_update_step2", false, nullptr},
    {"app_update_rollback", false, nullptr},
    {"app_update_cleanup", false, nullptr},
    {"app_update_local", false, nullptr},
};

// The host of the maker's web service as the usage text names it.
std::string webServiceHost() {
    std::string base = kDefaultWebApiBase;
    const size_t scheme = base.find("://");
    if (scheme != std::string::npos) base.erase(0, scheme + 3);
    return base.substr(0, base.find_first_of(":/"));
}

}  // namespace

std::string usageText() {
    return "Usage: brisvane <command> [--conf <path>]\n"
           "  --version Show brisvane and brisvanesrv versions (also: -v, version).\n"
           "  status    Show process and inference service status.\n"
           "  up        Activate this Brisvane: register with " +
           webServiceHost() +
           " and establish\n"
           "            the RTS reverse tunnel. Prints an auth URL if not yet approved.\n"
           "  down      Deactivate: close the RTS tunnel. Process keeps running.\n"
           "  shutdown  Deactivate (like down) and then terminate the brisvanesrv process.\n"
           "  reset     Reset registration info so this Brisvane can be registered again.\n";
}

int runTool(const std::vector<std::string>& arguments) {
    const CommandLine line = parseCommandLine(arguments);
    const Command* command = nullptr;
    for (const Command& candidate : kCommands) {
        if (line.word == candidate.word) {
            command = &candidate;
            break;
        }
    }
    if (!command) {
        std::cerr << usageText();
        return 1;
    }
    if (!command->run) {
        std::cerr << "Error: " << command->word << " is not available in this build.\n";
        return 1;
    }

    const HomeAndConf where = homeAndConfFor(line);
    if (command->serverFirst &&
        !ensureServerRunning(serverAddress(where.confPath), where.home, where.confPath, kServerStartSeconds))
        return 1;
    return command->run(where.confPath);
}
