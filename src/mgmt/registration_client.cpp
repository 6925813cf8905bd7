#include "mgmt/registration_client.h"

#include <unistd.h>

#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "base/json_parse.h"
#include "base/logger.h"
#include "base/version.h"
#include "config/runtime_properties.h"

namespace {

using nlohmann::json;

std::string hostName() {
    char buffer[256] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0) return std::string();
    return buffer;
}

RegistrationResult failure(const std::string& code, const std::string& message) {
    RegistrationResult result;
    result.code = code;
    result.message = message;
    return result;
}

RegistrationResult success() {
    RegistrationResult result;
    result.ok = true;
    return result;
}

std::string parseFailedMessage(const WebServiceEndpoint& endpoint) {
    return "Failed to parse " + endpoint.host + " response.";
}

bool parsePort(const std::string& text, int* port) {
    if (text.empty() || text.size() > 5) return false;
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) return false;
    *port = value;
    return true;
}

RegistrationResult registerWith(const WebServiceEndpoint& endpoint, const std::string& localBindAddr,
                                int localPort, const TlsClientOptions& options) {
    const RuntimePropertiesSnapshot props = runtimePropertiesSnapshot();
    const std::string requestDate = utcNowIso();
    json request = {
        {"appId", props.appId},
        {"programId", defaultDeviceName()},
        {"version", kAppVersion},
        {"requestDate", requestDate},
        {"local_port", localPort},
        {"local_bindaddr", localBindAddr},
        {"local_hostname", hostName()},
    };
    if (!props.apiKey.empty()) request["brisvane_api_key"] = props.apiKey;

    const std::string raw = httpsPostJson(endpoint.host, endpoint.port, kRegisterPath, request.dump(), options);
    json answer;
    try {
        answer = parseJson(raw);
    } catch (const json::parse_error&) {
        logMessage(1, "[register] JSON 파싱 실패 — 원본 응답: %s", raw.c_str());
        return failure("internal_error", parseFailedMessage(endpoint));
    }

    const int retcode = answer.value("retcode", -1);
    if (retcode == 5) {
        RegistrationResult result = failure("pending_approval", answer.value("retdesc", std::string("authentication required")));
        result.authType = "web";
        if (answer.contains("data") && answer["data"].contains("auth")) {
            const json& auth = answer["data"]["auth"];
            result.authType = auth.value("type", std::string("web"));
            result.authUrl = auth.value("url", std::string());
        }
        logMessage(2, "[register] pending_approval — authType=%s authUrl=%s", result.authType.c_str(),
                   result.authUrl.c_str());
        return result;
    }
    if (retcode != 0) {
        const std::string message = answer.value("retdesc", std::string("unknown error"));
        logMessage(2, "[register] server declined (retcode=%d): %s", retcode, message.c_str());
        return failure("registration_failed", message);
    }

    const json& data = answer.at("data");
    const std::string brisvaneId = data.value("brisvaneId", std::string());
    const std::string brisvaneName = data.value("brisvaneName", std::string());
    const std::string apiBase = data.value("apiBase", std::string());
    const std::string apiKey = data.value("brisvane_api_key", std::string());
    const std::string token = data.value("brisvaneToken", std::string());
    const std::string rtsHost = data.value("rtsHost", std::string());
    const int expiresDays = data.value("expiresDays", 0);
    if (brisvaneId.empty() || apiKey.empty() || token.empty()) {
        const std::string message = "Invalid server response: missing required fields (brisvaneId=" + brisvaneId +
                                    " brisvane_api_key=" + (apiKey.empty() ? "MISSING" : "OK") +
                                    " brisvaneToken=" + (token.empty() ? "MISSING" : "OK") + ")";
        logMessage(1, "[register] %s", message.c_str());
        return failure("internal_error", message);
    }

    std::map<std::string, std::string> values = {
        {"BRISVANE_ID", brisvaneId},
        {"BRISVANE_NAME", brisvaneName},
        {"API_BASE", apiBase},
        {"BRISVANE_API_KEY", apiKey},
        {"BRISVANE_TOKEN", token},
        {"BRISVANE_EXPORT", "true"},
        {"FIRST_AUTH_AT", requestDate},
        {"EXPIRES_DAYS", std::to_string(expiresDays)},
    };
    if (!rtsHost.empty()) values["RTS_HOST"] = rtsHost;
    updateRuntimeProperties(values);
    loadRuntimeProperties();
    logMessage(4, "[register] completed: BRISVANE_ID=%s API_BASE=%s RTS_HOST=%s", brisvaneId.c_str(),
               apiBase.c_str(), rtsHost.c_str());
    return success();
}

RegistrationResult resetWith(const WebServiceEndpoint& endpoint, const RuntimePropertiesSnapshot& props,
                             const TlsClientOptions& options) {
    const json request = {{"brisvaneId", props.brisvaneIdRegistration}, {"brisvaneToken", props.token}};
    const std::string raw = httpsPostJson(endpoint.host, endpoint.port, kResetPath, request.dump(), options);
    json answer;
    try {
        answer = parseJson(raw);
    } catch (const json::parse_error&) {
        logMessage(1, "[brisvaneReset] JSON 파싱 실패 — 원본 응답: %s", raw.c_str());
        return failure("internal_error", parseFailedMessage(endpoint));
    }
    const int retcode = answer.value("retcode", -1);
    if (retcode != 0) {
        const std::string message = answer.value("retdesc", std::string("unknown error"));
        logMessage(2, "[brisvaneReset] server declined (retcode=%d): %s", retcode, message.c_str());
        return failure("brisvane_reset_failed", message);
    }
    logMessage(4, "[brisvaneReset] completed: BRISVANE_ID=%s", props.brisvaneIdRegistration.c_str());
    return success();
}

}  // namespace

bool parseWebApiBase(const std::string& text, WebServiceEndpoint* endpoint, std::string* error) {
    static const std::string kScheme = "https://";
    if (text.compare(0, kScheme.size(), kScheme) != 0) {
        *error = "the scheme must be https://";
        return false;
    }
    std::string rest = text.substr(kScheme.size());
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    if (rest.find_first_of("/?#@ \t\r\n") != std::string::npos) {
        *error = "only scheme, host and port are allowed";
        return false;
    }
    WebServiceEndpoint parsed;
    std::string portText;
    if (!rest.empty() && rest.front() == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos) {
            *error = "unclosed IPv6 address";
            return false;
        }
        parsed.host = rest.substr(1, close - 1);
        const std::string after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') {
                *error = "unexpected text after the address";
                return false;
            }
            portText = after.substr(1);
            if (portText.empty()) portText = "-";
        }
    } else {
        const size_t colon = rest.find(':');
        parsed.host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            portText = rest.substr(colon + 1);
            if (portText.empty()) portText = "-";
        }
    }
    if (parsed.host.empty()) {
        *error = "the host is missing";
        return false;
    }
    if (!portText.empty() && !parsePort(portText, &parsed.port)) {
        *error = "the port must be 1 to 65535";
        return false;
    }
    *endpoint = parsed;
    return true;
}

WebServiceEndpoint webServiceEndpoint() {
    const char* override = std::getenv("BRISVANE_WEB_API");
    const std::string text = override && *override ? override : kDefaultWebApiBase;
    WebServiceEndpoint endpoint;
    std::string error;
    if (!parseWebApiBase(text, &endpoint, &error)) {
        throw std::invalid_argument("BRISVANE_WEB_API \"" + text + "\" is not usable: " + error);
    }
    return endpoint;
}

std::string defaultDeviceName() {
    const std::string host = hostName();
    return host.empty() ? "brisvane" : "qz-" + host;
}

RegistrationResult registerBrisvane(const std::string& localBindAddr, int localPort,
                                    const TlsClientOptions& options) {
    try {
        const WebServiceEndpoint endpoint = webServiceEndpoint();
        logMessage(4, "[register] calling: https://%s%s", endpoint.host.c_str(), kRegisterPath);
        return registerWith(endpoint, localBindAddr, localPort, options);
    } catch (const std::exception& e) {
        logMessage(1, "[register] failed: %s", e.what());
        return failure("internal_error", e.what());
    }
}

RegistrationResult brisvaneReset(const TlsClientOptions& options) {
    const RuntimePropertiesSnapshot props = runtimePropertiesSnapshot();
    if (props.brisvaneIdRegistration.empty() || props.token.empty()) {
        logMessage(4, "[brisvaneReset] BRISVANE_ID/BRISVANE_TOKEN empty -> skip server reset");
        return success();
    }
    try {
        const WebServiceEndpoint endpoint = webServiceEndpoint();
        logMessage(4, "[brisvaneReset] calling: https://%s%s", endpoint.host.c_str(), kResetPath);
        return resetWith(endpoint, props, options);
    } catch (const std::exception& e) {
        logMessage(1, "[brisvaneReset] failed: %s", e.what());
        return failure("internal_error", e.what());
    }
}
