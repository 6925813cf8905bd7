#include "cli/status_report.h"

#include <iostream>

#include "base/json_parse.h"
#include "cli/display_width.h"
#include "cli/serv_conf.h"
#include "cli/server_client.h"
#include "cli/terminal_text.h"

using nlohmann::json;

namespace {

struct Column {
    const char* heading;
    int width;
    bool alignRight;
};
constexpr Column kName{"NAME", 22, false};
constexpr Column kModel{"MODEL", 30, false};
constexpr Column kCtx{"CTX", 6, true};
constexpr Column kStatus{"STATUS", 11, false};
constexpr int kTokensRuleWidth = 9;

// Cells hold server-supplied text: escapes are shown, never sent to the
// terminal.
std::string cell(const Column& column, const std::string& text) {
    return padToWidth(visibleText(text), column.width, column.alignRight) + "  ";
}

std::string rule(int width) { return std::string(static_cast<size_t>(width), '-') + "  "; }

// The file name of a model path written with either separator.
std::string fileNameOf(const std::string& path) {
    const size_t separator = path.find_last_of("/\\");
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

std::string gatewayText(const std::string& status) {
    if (status == "unregistered") return "not registered — run 'brisvane up'";
    if (status == "down") return "not active — run 'brisvane up'";
    if (status == "connecting" || status == "disconnected") return "connecting to Halvoro…";
    return status;
}

// A token counter in full: counters are 64-bit on the server.
std::string counterText(const json& instance, const char* key) {
    const auto it = instance.find(key);
    if (it == instance.end()) return "0";
    if (it->is_number_unsigned()) return std::to_string(it->get<uint64_t>());
    return std::to_string(it->get<int64_t>());
}

const json& objectOr(const json& document, const char* key, const json& fallback) {
    const auto it = document.find(key);
    return it == document.end() ? fallback : *it;
}

}  // namespace

std::string formatStatusReport(const json& status) {
    static const json kEmptyObject = json::object();
    static const json kEmptyList = json::array();
    const json& process = objectOr(status, "process", kEmptyObject);
    const json& inference = objectOr(status, "inference", kEmptyObject);

    const std::string brisvaneId = visibleText(process.value("brisvaneId", ""));
    std::string report = "\n=== Brisvane Status ===\n\n[Process]\n  Status      : running\n";
    report += "  Port        : " + std::to_string(process.value("port", 0)) + "\n";
    report += "  Brisvane ID : " + (brisvaneId.empty() ? std::string("(not registered)") : brisvaneId) + "\n";
    report += "\n[Halvoro Connection]\n  Gateway     : " + visibleText(gatewayText(process.value("gatewayStatus", "unregistered"))) + "\n";

    const json& mivrels = objectOr(inference, "mivrels", kEmptyList);
    long long registered = static_cast<long long>(mivrels.size());
    long long loaded = 0;
    for (const json& instance : mivrels) {
        const std::string state = instance.value("status", "");
        if (!state.empty() && state != "not loaded") ++loaded;
    }
    if (mivrels.empty()) registered = inference.value("activeMivrelCount", 0);
    report += "\n[Mivrels]  " + std::to_string(registered) + " registered, " + std::to_string(loaded) + " loaded\n";

    if (!mivrels.empty()) {
        report += "  " + cell(kName, kName.heading) + cell(kModel, kModel.heading) + cell(kCtx, kCtx.heading) +
                  cell(kStatus, kStatus.heading) + "IN / OUT\n";
        report += "  " + rule(kName.width) + rule(kModel.width) + rule(kCtx.width) + rule(kStatus.width) +
                  std::string(kTokensRuleWidth, '-') + "\n";
        for (const json& instance : mivrels) {
            report += "  " + cell(kName, instance.value("name", "-")) +
                      cell(kModel, fileNameOf(instance.value("modelPath", "-"))) +
                      cell(kCtx, std::to_string(instance.value("nCtx", 0))) +
                      cell(kStatus, instance.value("status", "-")) + counterText(instance, "inTokens") + " / " +
                      counterText(instance, "outTokens") + "\n";
        }
    }
    return report + "\n";
}

std::string notRunningReport() {
    return "\n=== Brisvane Status ===\n\n[Process]\n  Status      : not running\n\n[Mivrels]\n"
           "  (unavailable — brisvanesrv is not running)\n\n";
}

int cmdStatus(const std::string& confPath) {
    const ServerAddress address = serverAddress(confPath);
    json status;
    try {
        status = parseJson(httpGet(address.host, address.port, "/mgmt-api/cli/status", kStatusReplyTimeoutMs));
    } catch (const std::exception&) {
        std::cout << notRunningReport();
        return 1;
    }
    std::cout << formatStatusReport(status);
    return 0;
}
