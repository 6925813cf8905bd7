#include "mgmt/app_update_service.h"

#include <stdexcept>

#include "base/json_parse.h"
#include "mgmt/registration_client.h"
#include "mgmt/https_client.h"

namespace {

WebServiceAnswer getEnvelope(const std::string& pathWithQuery) {
    const WebServiceEndpoint endpoint = webServiceEndpoint();
    const std::string body = httpsGet(endpoint.host, endpoint.port, pathWithQuery, "");
    nlohmann::json parsed;
    try {
        parsed = parseJson(body);
    } catch (const nlohmann::json::exception& e) {
        throw std::runtime_error(std::string("the answer is not JSON: ") + e.what());
    }
    if (!parsed.is_object()) throw std::runtime_error("the answer is not a JSON object");
    WebServiceAnswer answer;
    if (const auto it = parsed.find("retcode"); it != parsed.end()) {
        if (!it->is_number_integer()) throw std::runtime_error("the answer's retcode is not an integer");
        answer.retcode = it->get<int64_t>();
    }
    if (const auto it = parsed.find("retdesc"); it != parsed.end() && it->is_string()) {
        answer.retdesc = it->get<std::string>();
    }
    if (const auto it = parsed.find("data"); it != parsed.end()) answer.data = *it;
    return answer;
}

const nlohmann::json* field(const nlohmann::json& data, const char* key) {
    if (!data.is_object()) return nullptr;
    const auto it = data.find(key);
    return it == data.end() || it->is_null() ? nullptr : &*it;
}

std::string textField(const nlohmann::json& data, const char* key) {
    const nlohmann::json* value = field(data, key);
    if (!value) return "";
    if (!value->is_string()) throw std::runtime_error(std::string("manifest field \"") + key + "\" is not a text");
    return value->get<std::string>();
}

}  // namespace

WebServiceAnswer fetchAppUpdateCheck(const std::string& component, const std::string& currentVersion) {
    return getEnvelope("/brisvane/api/checkAppUpdate?component=" + component + "&currentVersion=" + currentVersion +
                       "&platform=" + kUpdatePlatform);
}

WebServiceAnswer fetchAppUpdateManifest(const std::string& component, const std::string& targetVersion) {
    return getEnvelope("/brisvane/api/appUpdateManifest?component=" + component + "&targetVersion=" + targetVersion +
                       "&platform=" + kUpdatePlatform);
}

UpdateManifest readUpdateManifest(const nlohmann::json& data) {
    UpdateManifest manifest;
    manifest.zipUrl = textField(data, "zipUrl");
    manifest.zipSha256 = textField(data, "zipSha256");
    if (const nlohmann::json* size = field(data, "zipSize")) {
        if (!size->is_number_integer()) throw std::runtime_error("manifest field \"zipSize\" is not an integer");
        manifest.zipSize = size->get<int64_t>();
        if (manifest.zipSize < 0) throw std::runtime_error("manifest field \"zipSize\" is negative");
    }
    return manifest;
}
