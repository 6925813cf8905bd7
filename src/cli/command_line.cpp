#include "cli/command_line.h"

#include <cstdlib>
#include <filesystem>

#include "platform/executable_path.h"

namespace fs = std::filesystem;

namespace {

std::string currentDir() {
    std::error_code ec;
    const fs::path cwd = fs::current_path(ec);
    return ec ? std::string(".") : cwd.string();
}

std::string absoluteOf(const std::string& path) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(path, ec);
    return ec ? path : absolute.lexically_normal().string();
}

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string>& arguments) {
    CommandLine line;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--conf" && i + 1 < arguments.size()) {
            line.confPath = arguments[++i];
            line.confGiven = true;
        } else if (line.word.empty()) {
            line.word = argument;
        } else {
            line.args.push_back(argument);
        }
    }
    return line;
}

HomeAndConf homeAndConfFor(const CommandLine& commandLine) {
    if (!commandLine.confGiven) return resolveHomeAndConf();
    // lexically_normal drops a trailing "/." so that parent_path climbs real
    // folders; "conf/serv.conf" gives the current directory.
    const fs::path absolute = fs::path(absoluteOf(commandLine.confPath));
    return {absolute.parent_path().parent_path().string(), commandLine.confPath};
}

HomeAndConf resolveHomeAndConf() {
    const char* configured = std::getenv("BRISVANE_HOME");
    if (configured && *configured) {
        const std::string home = absoluteOf(configured);
        return {home, (fs::path(home) / "conf" / "serv.conf").string()};
    }
    const std::string cwd = currentDir();
    const std::string exe = exeDir();
    const std::string candidates[] = {cwd, exe, fs::path(exe).parent_path().string()};
    for (const std::string& candidate : candidates) {
        if (candidate.empty()) continue;
        const fs::path conf = fs::path(candidate) / "conf" / "serv.conf";
        std::error_code ec;
        if (fs::exists(conf, ec)) return {candidate, conf.string()};
    }
    return {cwd, "conf/serv.conf"};
}

std::string exeDir() {
    const std::string dir = executableDir();
    return dir.empty() ? currentDir() : dir;
}
