#include "mgmt/model_catalog.h"

#include <stdexcept>

#include "base/json_parse.h"
#include "mgmt/https_client.h"
#include "mgmt/registration_client.h"

namespace {

const nlohmann::json* fieldOf(const nlohmann::json& record, const char* key) {
    if (!record.is_object()) throw std::runtime_error("the catalog record is not an object");
    const auto it = record.find(key);
    return it == record.end() || it->is_null() ? nullptr : &*it;
}

}  // namespace

std::string fetchModelCatalogDocument(const std::string& query) {
    const WebServiceEndpoint endpoint = webServiceEndpoint();
    return httpsGet(endpoint.host, endpoint.port, std::string(kModelCatalogPath) + query, "");
}

CatalogAnswer fetchCatalogRecord(const std::string& modelId) {
    const std::string body = fetchModelCatalogDocument("?modelId=" + modelId);
    nlohmann::json answer;
    try {
        answer = parseJson(body);
    } catch (const nlohmann::json::exception& e) {
        throw std::runtime_error(std::string("the catalog answer is not JSON: ") + e.what());
    }
    if (!answer.is_object()) throw std::runtime_error("the catalog answer is not a JSON object");
    CatalogAnswer result;
    const auto retcode = answer.find("retcode");
    if (retcode != answer.end()) {
        if (!retcode->is_number_integer()) throw std::runtime_error("the catalog answer's retcode is not an integer");
        result.retcode = retcode->get<int64_t>();
    }
    const auto data = answer.find("data");
    if (data != answer.end() && data->is_object()) {
        const auto model = data->find("model");
        if (model != data->end()) result.record = *model;
    }
    return result;
}

std::string catalogText(const nlohmann::json& record, const char* key, const std::string& fallback) {
    const nlohmann::json* value = fieldOf(record, key);
    if (!value) return fallback;
    if (!value->is_string()) throw std::runtime_error(std::string("catalog field \"") + key + "\" is not a text");
    return value->get<std::string>();
}

int64_t catalogInteger(const nlohmann::json& record, const char* key, int64_t fallback) {
    const nlohmann::json* value = fieldOf(record, key);
    if (!value) return fallback;
    if (!value->is_number_integer()) {
        throw std::runtime_error(std::string("catalog field \"") + key + "\" is not an integer");
    }
    return value->get<int64_t>();
}
