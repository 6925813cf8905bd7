#include "cli/tool_entry.h"

#include <iostream>

#include "base/version.h"
#include "cli/command_line.h"
#include "cli/serv_conf.h"
#include "cli/server_commands.h"
#include "cli/server_process.h"
#include "cli/status_report.h"
#include "cli/update_commands.h"

namespace {

constexpr int kServerStartSeconds = 10;

using CommandFunction = int (*)(const std::string& confPath);
using UpdateFunction = int (*)(const UpdateContext& context, const std::vector<std::string>& args);

struct Command {
    const char* word;
    bool serverFirst;       // the server is made to run before the command
    CommandFunction run;    // null: an update command
    UpdateFunction update;  // the update commands, with their context and arguments
};

int runAppUpdateAvailable(const UpdateContext& context, const std::vector<std::string>&) {
    return cmdAppUpdateAvailable(context);
}
int runAppUpdateDn(const UpdateContext& context, const std::vector<std::string>&) {
    return cmdAppUpdateDn(context, kUpdateComponent, nullptr);
}
int runAppUpdate(const UpdateContext& context, const std::vector<std::string>&) { return cmdAppUpdate(context); }
int runAppUpdateStep2(const UpdateContext& context, const std::vector<std::string>&) {
    return cmdAppUpdateStep2(context);
}
int runAppUpdateRollback(const UpdateContext& context, const std::vector<std::string>&) {
    return cmdAppUpdateRollback(context);
}
int runAppUpdateCleanup(const UpdateContext& context, const std::vector<std::string>&) {
    return cmdAppUpdateCleanup(context);
}
int runAppUpdateLocal(const UpdateContext& context, const std::vector<std::string>& args) {
    return cmdAppUpdateLocal(context, args[0], args[1]);
}

// In the order the words are matched.
constexpr Command kCommands[] = {
    {"--version", false, cmdVersion, nullptr},
    {"-v", false, cmdVersion, nullptr},
    {"version", false, cmdVersion, nullptr},
    {"status", true, cmdStatus, nullptr},
    {"up", true, cmdUp, nullptr},
    {"down", false, cmdDown, nullptr},
    {"shutdown", false, cmdShutdown, nullptr},
    {"reset", true, cmdReset, nullptr},
    {"app_update_available", true, nullptr, runAppUpdateAvailable},
    {"app_update_dn", true, nullptr, runAppUpdateDn},
    {"app_update", false, nullptr, runAppUpdate},
    {"app_update_step2", false, nullptr, runAppUpdateStep2},
    {"app_update_rollback", false, nullptr, runAppUpdateRollback},
    {"app_update_cleanup", false, nullptr, runAppUpdateCleanup},
    {"app_update_local", false, nullptr, runAppUpdateLocal},
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
    if (command->update == runAppUpdateLocal && line.args.size() < 2) {
        std::cerr << "Usage: brisvane app_update_local <zip경로> <sha256>\n";
        return 1;
    }

    const HomeAndConf where = homeAndConfFor(line);
    if (command->serverFirst &&
        !ensureServerRunning(serverAddress(where.confPath), where.home, where.confPath, kServerStartSeconds))
        return 1;
    if (command->run) return command->run(where.confPath);
    UpdateContext context;
    context.confPath = where.confPath;
    context.home = where.home;
    context.installDir = exeDir();
    return command->update(context, line.args);
}
