#include "mgmt_api/inspection_endpoints.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>

#include "engine/mivrel.h"
#include "engine/mivrel_manager.h"
#include "mgmt/service_context.h"
#include "mgmt_api/mgmt_reply.h"

namespace {

std::shared_ptr<Mivrel> findOrReply(const ServiceContext& services, HttpRequestHandler& handler, Response& response,
                                    const std::string& id) {
    if (!services.mivrels) {
        sendError(handler, response, 500, "internal_error", "MivrelManager not available");
        return nullptr;
    }
    std::shared_ptr<Mivrel> mivrel = services.mivrels->find(id);
    if (!mivrel) sendUnknownMivrel(handler, response, id);
    return mivrel;
}

nlohmann::json specReply(const std::string& id, const ModelInfo& info) {
    nlohmann::json placement = nlohmann::json::array();
    for (const LayerPlacement& layer : info.layerPlacement) {
        placement.push_back({{"index", layer.index}, {"device", layer.device}});
    }
    nlohmann::json metadata = nlohmann::json::object();
    for (const MetadataEntry& entry : info.metadata) metadata[entry.key] = entry.value;
    return nlohmann::json{
        {"mivrelId", id},
        {"is_loaded", info.loaded},
        {"architecture",
         {{"n_layer", info.nLayer},
          {"n_embd", info.nEmbd},
          {"n_head", info.nHead},
          {"n_head_kv", info.nHeadKv},
          {"n_ctx_train", info.nCtxTrain},
          {"n_swa", info.nSwa},
          {"rope_type", info.ropeType},
          {"rope_freq_scale_train", info.ropeFreqScaleTrain},
          {"is_recurrent", info.isRecurrent},
          {"is_hybrid", info.isHybrid},
          {"has_encoder", info.hasEncoder},
          {"has_decoder", info.hasDecoder}}},
        {"model",
         {{"n_params", info.nParams},
          {"model_size_bytes", info.sizeBytes},
          {"ftype", info.ftype},
          {"desc", info.description},
          {"has_chat_template", info.hasChatTemplate}}},
        {"vocab",
         {{"n_vocab", info.nVocab},
          {"vocab_type", info.vocabType},
          {"bos_token", info.bosToken},
          {"eos_token", info.eosToken},
          {"eot_token", info.eotToken},
          {"pad_token", info.padToken},
          {"sep_token", info.sepToken}}},
        {"runtime", {{"n_gpu_layers_requested", info.nGpuLayersRequested}}},
        {"layer_placement", std::move(placement)},
        {"gguf_metadata", std::move(metadata)},
    };
}

nlohmann::json tensorView(const TensorInfo& tensor) {
    nlohmann::json shape = nlohmann::json::array();
    for (int64_t dimension : tensor.shape) shape.push_back(dimension);
    return nlohmann::json{{"name", tensor.name},
                          {"type", tensor.type.empty() ? "UNKNOWN" : tensor.type},
                          {"shape", std::move(shape)},
                          {"byte_size", static_cast<uint64_t>(tensor.byteSize)},
                          {"device", tensor.device.empty() ? "UNKNOWN" : tensor.device},
                          {"host_accessible", tensor.hostAccessible}};
}

}  // namespace

bool layerFromQuery(const std::string& query, int32_t* layer) {
    const size_t at = query.find("layer=");
    if (at == std::string::npos) return false;
    const size_t begin = at + 6;
    const size_t end = query.find('&', begin);
    const std::string text = query.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    const char* start = text.c_str();
    char* stop = nullptr;
    errno = 0;
    const long value = std::strtol(start, &stop, 10);
    if (stop == start || errno == ERANGE || value < 0 || value > INT32_MAX) return false;
    *layer = static_cast<int32_t>(value);
    return true;
}

void handleModelSpec(const ServiceContext& services, HttpRequestHandler& handler, const Request&, Response& response,
                     const std::string& id) {
    const std::shared_ptr<Mivrel> mivrel = findOrReply(services, handler, response, id);
    if (!mivrel) return;
    nlohmann::json reply;
    {
        std::lock_guard<std::mutex> lock(mivrel->engineMutex);
        if (mivrel->engine) reply = specReply(id, mivrel->engine->getModelInfo());
    }
    if (reply.is_null()) reply = nlohmann::json{{"is_loaded", false}, {"mivrelId", id}};
    sendJson(handler, response, reply);
}

void handleLayerTensors(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                        Response& response, const std::string& id) {
    const std::shared_ptr<Mivrel> mivrel = findOrReply(services, handler, response, id);
    if (!mivrel) return;
    int32_t layer = 0;
    if (!layerFromQuery(request.query, &layer)) {
        return sendError(handler, response, 400, "bad_request", "layer query parameter (integer >= 0) is required");
    }
    nlohmann::json tensors = nlohmann::json::array();
    bool loaded = false;
    {
        std::lock_guard<std::mutex> lock(mivrel->engineMutex);
        if (mivrel->engine) {
            loaded = true;
            for (const TensorInfo& tensor : mivrel->engine->listTensors(layer)) tensors.push_back(tensorView(tensor));
        }
    }
    sendJson(handler, response,
             nlohmann::json{{"is_loaded", loaded}, {"layer", layer}, {"mivrelId", id}, {"tensors", std::move(tensors)}});
}
