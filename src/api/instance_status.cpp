#include "api/instance_status.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

#include "api/instance_reply.h"
#include "engine/gguf_reader.h"
#include "engine/mivrel.h"
#include "engine/model_capabilities.h"
#include "mgmt/service_context.h"

namespace {

nlohmann::json textOrNull(const std::string& text) { return text.empty() ? nlohmann::json() : nlohmann::json(text); }

struct ModelFile {
    std::string role;
    std::string path;
    bool refused = false;  // the name would leave the model folder
};

// A file name of the model's properties stays inside its folder.
bool isPlainFileName(const std::string& name) {
    return name.find('/') == std::string::npos && name.find('\\') == std::string::npos &&
           name.find("..") == std::string::npos;
}

std::vector<ModelFile> modelFiles(const MivrelConfig& config) {
    const ModelLoadSettings& load = config.loadSettings;
    std::vector<ModelFile> files;
    const nlohmann::json& properties = load.modelProperties;
    if (properties.is_object()) {
        const auto listed = properties.find("files");
        if (listed != properties.end() && listed->is_object()) {
            for (const auto& [role, value] : listed->items()) {
                if (!value.is_string()) continue;
                const std::string& name = value.get_ref<const std::string&>();
                if (!isPlainFileName(name)) {
                    files.push_back({role, name, true});
                } else {
                    files.push_back({role, (std::filesystem::path(load.modelDir) / name).string(), false});
                }
            }
            return files;
        }
    }
    if (!config.modelPath.empty()) files.push_back({"model", config.modelPath, false});
    return files;
}

nlohmann::ordered_json fileEntry(const ModelFile& file, const std::vector<std::string>& wantedKeys) {
    const std::filesystem::path path(file.path);
    std::string format = path.extension().string();
    if (!format.empty()) format.erase(0, 1);
    std::transform(format.begin(), format.end(), format.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });

    nlohmann::ordered_json entry = nlohmann::ordered_json::object();
    entry["role"] = file.role;
    entry["filename"] = file.refused ? file.path : path.filename().string();
    entry["format"] = format;
    if (file.refused) {
        entry["error"] = "invalid file name";
        return entry;
    }
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec) {
        entry["error"] = "file not found";
        return entry;
    }
    entry["size_bytes"] = static_cast<uint64_t>(size);
    if (format != "gguf") return entry;
    GgufHeader header;
    std::string error;
    if (!readGgufHeader(file.path, wantedKeys, header, error)) {
        entry["error"] = error;
    } else if (wantedKeys.empty()) {
        entry["summary"] = summarizeGguf(header);
    } else {
        entry["metadata"] = header.metadata;
    }
    return entry;
}

}  // namespace

nlohmann::json mivrelStatusDocument(const Mivrel& mivrel, const std::string& id) {
    const bool loaded = mivrel.hasEngine();
    const int state = mivrel.state.load();
    const MivrelStatusView view = mivrel.statusView();

    nlohmann::json status = nlohmann::json::object();
    status["mivrelId"] = id;
    status["status"] = loaded && (state == kMivrelRunning || state == kMivrelStopping) ? "busy" : "idle";
    status["conversationId"] = textOrNull(view.conversationId);
    status["last_response_id"] = textOrNull(view.lastResponseId);
    status["loaded"] = loaded;
    status["release"] = mivrel.releaseStatusJson();
    status["totalOutputTokens"] = static_cast<int32_t>(mivrel.totalOutputTokens.load());
    status["sessionOutputTokens"] = mivrel.sessionOutputTokens.load();
    status["currentOutputTokens"] = mivrel.currentOutputTokens.load();
    status["lastOutputTokens"] = mivrel.lastOutputTokens.load();

    const bool engineValues = loaded && view.engineValues;
    const ContextStats context = engineValues ? view.context : ContextStats();
    const int64_t size = context.nCtx;
    const int64_t used = context.usedCells;
    const int64_t remain = size - used;
    status["context_size"] = size;
    status["context_used"] = used;
    status["context_remain"] = remain < 1 ? 0 : remain;
    status["context_used_pct"] = size < 1 ? 0 : used * 100 / size;
    status["kv_cache_bytes"] = static_cast<uint64_t>(context.stateBytes < 0 ? 0 : context.stateBytes);
    if (loaded) {
        status["sampling"] = engineValues ? view.sampling : nlohmann::json();
        if (engineValues && view.capabilities.is_object()) {
            for (const char* key : {"voices", "default_voice", "voice_clone", "sample_rate"}) {
                const auto it = view.capabilities.find(key);
                if (it != view.capabilities.end()) status[key] = *it;
            }
        }
    }
    return status;
}

nlohmann::ordered_json modelInfoDocument(const Mivrel& mivrel, const std::string& id,
                                         const std::vector<std::string>& wantedKeys) {
    const MivrelConfig& config = mivrel.config;
    const ModelLoadSettings& load = config.loadSettings;
    const bool loaded = mivrel.hasEngine();

    nlohmann::ordered_json info = nlohmann::ordered_json::object();
    info["mivrelId"] = id;
    info["modelId"] = load.params.is_object() ? load.params.value("modelId", std::string()) : std::string();
    info["model"] = config.modelName;
    info["familyType"] = config.familyType;
    if (config.familyType == "LLM" || config.familyType == "DECISION") info["assembler"] = load.assembler;
    if (load.modelProperties.is_object() && load.modelProperties.contains("n_ctx_size")) {
        info["n_ctx_size"] = load.modelProperties.at("n_ctx_size");
    }
    info["capabilities"] = buildModelIoSchema(config.familyType, load.modelProperties, load.params, load.modelDir);
    info["is_loaded"] = loaded;
    if (loaded) {
        const MivrelStatusView view = mivrel.statusView();
        if (view.engineValues && !view.capabilities.is_null()) info["speech"] = view.capabilities;
    }
    nlohmann::ordered_json files = nlohmann::ordered_json::array();
    for (const ModelFile& file : modelFiles(config)) files.push_back(fileEntry(file, wantedKeys));
    info["files"] = std::move(files);
    return info;
}

void handleStatus(const ServiceContext& services, HttpRequestHandler& handler, const Request&, Response& response,
                  const std::string& id) {
    const std::shared_ptr<Mivrel> mivrel = findMivrelOrReply(services, handler, response, id);
    if (!mivrel) return;
    sendJsonDocument(handler, response, 200, mivrelStatusDocument(*mivrel, id));
}

void handleModelInfo(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                     Response& response, const std::string& id) {
    const std::shared_ptr<Mivrel> mivrel = findMivrelOrReply(services, handler, response, id);
    if (!mivrel) return;
    const std::vector<std::string> wantedKeys = wantedKeysFromQuery(request.query);
    sendJsonDocument(handler, response, 200, modelInfoDocument(*mivrel, id, wantedKeys));
}
