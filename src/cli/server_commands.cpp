#include "cli/server_commands.h"

#include <filesystem>
#include <iostream>

#include "base/json_parse.h"
#include "base/version.h"
#include "cli/command_line.h"
#include "cli/serv_conf.h"
#include "cli/server_client.h"
#include "cli/server_process.h"
#include "cli/terminal_text.h"

using nlohmann::json;

namespace {

// A member that should be text; other types are shown as their JSON.
// Control characters are shown as escapes: the text comes from the server.
std::string textOf(const json& object, const char* key) {
    if (!object.is_object()) return {};
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) return {};
    return visibleText(it->is_string() ? it->get<std::string>() : it->dump());
}

// Sends one command; its result is the exit code.
int postCommand(const std::string& confPath, const char* path, json* reply) {
    const ServerAddress address = serverAddress(confPath);
    try {
        *reply = postJson(address.host, address.port, path, "{}");
    } catch (const std::exception& e) {
        std::cerr << "Error: " << e.what() << "\n";
        return 1;
    }
    return printReply(*reply);
}

}  // namespace

bool printReplyError(const json& reply) {
    if (!reply.is_object()) return false;
    const auto error = reply.find("error");
    if (error == reply.end() || !error->is_object()) return false;
    const std::string code = textOf(*error, "code");
    if (code != "pending_approval") {
        std::cerr << "ERROR:\n\"code\"    : " << code << "\n\"message\" : " << textOf(*error, "message") << "\n";
        return true;
    }
    const auto auth = error->find("auth");
    const std::string url = auth != error->end() ? textOf(*auth, "url") : std::string();
    std::cerr << "\n[Brisvane Registration Required]\nOpen the URL below in a browser to register this Brisvane:\n\n"
              << (url.empty() ? "(No URL received - check the server response)" : url)
              << "\n\nAfter registering, run `brisvane up` again.\n\n";
    return true;
}

int printReply(const json& reply) {
    if (printReplyError(reply)) return 1;
    if (reply.is_object()) {
        const auto success = reply.find("success");
        if (success != reply.end() && success->is_object()) {
            std::cout << "SUCCESS:\n\"message\": " << textOf(*success, "message") << "\n";
            return 0;
        }
    }
    std::cout << visibleText(reply.dump(2, ' ', false, json::error_handler_t::replace), true) << "\n";
    return 0;
}

int cmdVersion(const std::string& confPath) {
    std::cout << "brisvane " << kAppVersion << "\n";
    try {
        const ServerAddress address = serverAddress(confPath);
        const json status = parseJson(httpGet(address.host, address.port, "/mgmt-api/cli/status"));
        const json process = status.value("process", json::object());
        const std::string version = process.value("version", "");
        std::cout << "brisvanesrv " << (version.empty() ? "(version unknown)" : visibleText(version)) << " (running)\n";
        return 0;
    } catch (const std::exception&) {
        // Not running, or not answering as the server does: say what it
        // recorded when it last ran.
    }
    std::string version = readAppVersion(exeDir());
    if (version.empty()) version = readAppVersion((std::filesystem::path(exeDir()).parent_path()).string());
    if (version.empty())
        std::cout << "brisvanesrv (not running)\n";
    else
        std::cout << "brisvanesrv " << version << " (last run, not running)\n";
    return 0;
}

int cmdUp(const std::string& confPath) {
    json reply;
    const int result = postCommand(confPath, "/mgmt-api/cli/up", &reply);
    const json* error = reply.is_object() && reply.contains("error") ? &reply["error"] : nullptr;
    if (result != 0 && error && error->is_object() && textOf(*error, "code") != "pending_approval") {
        // Registration needs the maker's web service; offline, the service is
        // switched on for this machine alone by the runtime property.
        const ServerAddress address = serverAddress(confPath);
        const std::string base = "http://" + (address.host.empty() || address.host == "localhost" || address.host == "0.0.0.0"
                                                  ? std::string("127.0.0.1") : address.host) +
                                 ":" + std::to_string(address.port);
        std::cerr << "\nWithout the Brisvane web service, switch the inference service on for this machine alone:\n"
                  << "  curl -X PATCH " << base << "/mgmt-api/runtime_properties -d '{\"BRISVANE_EXPORT\": true}'\n"
                  << "or press \"Switch on without registration\" at " << base << "/admin/#service\n";
    }
    return result;
}

int cmdDown(const std::string& confPath) {
    json reply;
    return postCommand(confPath, "/mgmt-api/cli/down", &reply);
}

int cmdShutdown(const std::string& confPath) {
    json reply;
    if (postCommand(confPath, "/mgmt-api/cli/shutdown", &reply) != 0) return 1;
    if (!reply.is_object() || !reply.contains("success")) return 0;
    // The server ends shortly after its reply; a command run right after this
    // one must not find it still answering.
    if (!waitServerStopped(serverAddress(confPath), kShutdownWaitMs)) {
        std::cerr << "Error: brisvanesrv still answers " << kShutdownWaitMs / 1000 << "s after the shutdown request.\n";
        return 1;
    }
    return 0;
}

int cmdReset(const std::string& confPath) {
    json reply;
    const int result = postCommand(confPath, "/mgmt-api/cli/reset", &reply);
    if (result == 0) std::cout << "\nRun the following to activate again.\n\n  brisvane up\n";
    return result;
}
