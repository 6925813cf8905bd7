#include "engine/model_capabilities.h"

#include <sys/stat.h>

#include <climits>
#include <filesystem>
#include <map>
#include <mutex>
#include <utility>

#include "engine/gguf_reader.h"

namespace {

struct ProjectorEntry {
    int64_t mtimeNs = 0;
    bool hasAudioEncoder = false;
};

std::mutex& cacheMutex() {
    static std::mutex mutex;
    return mutex;
}

std::map<std::string, ProjectorEntry>& projectorCache() {
    static std::map<std::string, ProjectorEntry> cache;
    return cache;
}

bool fileTimeNs(const std::string& path, int64_t& mtimeNs) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    return true;
}

bool readAudioEncoderFlag(const std::string& path) {
    GgufHeader header;
    std::string error;
    if (!readGgufHeader(path, {"clip.has_audio_encoder"}, header, error)) return false;
    auto it = header.metadata.find("clip.has_audio_encoder");
    return it != header.metadata.end() && it->is_boolean() && it->get<bool>();
}

nlohmann::json mimeList(std::initializer_list<const char*> types) {
    nlohmann::json list = nlohmann::json::array();
    for (const char* t : types) list.push_back(t);
    return list;
}

}  // namespace

bool multimodalEnabled(const nlohmann::json& params) {
    if (params.is_object()) {
        auto it = params.find("multimodal");
        if (it != params.end() && it->is_boolean()) return it->get<bool>();
    }
    return true;
}

bool modelHasFile(const nlohmann::json& modelProperties, const std::string& role) {
    if (!modelProperties.is_object()) return false;
    auto files = modelProperties.find("files");
    if (files == modelProperties.end() || !files->is_object()) return false;
    auto it = files->find(role);
    return it != files->end() && it->is_string();
}

int modelLimit(const nlohmann::json& params, const std::string& name, int fallback) {
    if (!params.is_object()) return fallback;
    auto limits = params.find("limits");
    if (limits == params.end() || !limits->is_object()) return fallback;
    auto it = limits->find(name);
    if (it == limits->end() || !it->is_number_integer()) return fallback;
    if (it->is_number_unsigned()) {
        const uint64_t u = it->get<uint64_t>();
        return u > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(u);
    }
    const int64_t v = it->get<int64_t>();
    return v > INT_MAX ? INT_MAX : (v < INT_MIN ? INT_MIN : static_cast<int>(v));
}

bool acceptsImageInput(const nlohmann::json& modelProperties, const nlohmann::json& params) {
    return multimodalEnabled(params) && modelHasFile(modelProperties, "mmproj");
}

bool projectorHasAudioEncoder(const nlohmann::json& modelProperties, const std::string& modelDir) {
    if (!modelHasFile(modelProperties, "mmproj") || modelDir.empty()) return false;
    const std::string name = modelProperties["files"]["mmproj"].get<std::string>();
    if (name.empty() || name.find('/') != std::string::npos || name.find('\\') != std::string::npos ||
        name.find("..") != std::string::npos) {
        return false;
    }
    const std::string path = (std::filesystem::path(modelDir) / name).string();
    int64_t mtime = 0;
    if (!fileTimeNs(path, mtime)) return false;
    {
        std::lock_guard<std::mutex> lock(cacheMutex());
        auto it = projectorCache().find(path);
        if (it != projectorCache().end() && it->second.mtimeNs == mtime) return it->second.hasAudioEncoder;
    }
    // Read without the lock: a projector may be gigabytes. Two threads may
    // both read a new file; the later store wins with the same content.
    const bool flag = readAudioEncoderFlag(path);
    std::lock_guard<std::mutex> lock(cacheMutex());
    projectorCache()[path] = ProjectorEntry{mtime, flag};
    return flag;
}

bool acceptsAudioInput(const nlohmann::json& modelProperties, const nlohmann::json& params,
                       const std::string& modelDir) {
    return multimodalEnabled(params) && projectorHasAudioEncoder(modelProperties, modelDir);
}

bool supportsRefImages(const nlohmann::json& modelProperties, const nlohmann::json& params) {
    if (!multimodalEnabled(params)) return false;
    if (modelHasFile(modelProperties, "llm_vision") || modelHasFile(modelProperties, "clip_vision")) return true;
    if (!modelProperties.is_object()) return false;
    auto it = modelProperties.find("supportsRefImages");
    if (it == modelProperties.end()) return false;
    return it->get<bool>();  // a non-bool throws the library's type error
}

// familyType   "api"              "outputs"    "inputs"
// LLM, ""      "messages"         ["text"]     image input, audio input
// DECISION     "choice"           ["choice"]   none
// AUDIO        "speechGenerate"   ["audio"]    reference audio
// IMAGE        "imageGenerate"    ["image"]    reference image
// VIDEO        "videoGenerate"    ["video"]    reference image
// other        absent             absent       none
nlohmann::json buildModelIoSchema(const std::string& familyType, const nlohmann::json& modelProperties,
                                  const nlohmann::json& params, const std::string& modelDir) {
    const std::string family = familyType.empty() ? "LLM" : familyType;
    nlohmann::json doc = nlohmann::json::object();
    nlohmann::json inputs = nlohmann::json::array();
    const auto audioMime = [] { return mimeList({"audio/wav", "audio/mpeg", "audio/flac"}); };
    const auto refImage = [&] {
        if (!supportsRefImages(modelProperties, params)) return;
        inputs.push_back({{"type", "image"},
                          {"role", "reference"},
                          {"max", modelLimit(params, "maxRefImages", 4)},
                          {"mime", mimeList({"image/png", "image/jpeg", "image/webp"})}});
    };
    if (family == "LLM") {
        doc["api"] = "messages";
        doc["outputs"] = nlohmann::json::array({"text"});
        if (acceptsImageInput(modelProperties, params)) {
            inputs.push_back({{"type", "image"},
                              {"max", modelLimit(params, "maxImages", 4)},
                              {"mime", mimeList({"image/png", "image/jpeg"})}});
        }
        if (acceptsAudioInput(modelProperties, params, modelDir)) {
            inputs.push_back({{"type", "audio"},
                              {"max", modelLimit(params, "maxAudios", 1)},
                              {"maxSeconds", modelLimit(params, "maxAudioSeconds", 30)},
                              {"mime", audioMime()}});
        }
    } else if (family == "DECISION") {
        doc["api"] = "choice";
        doc["outputs"] = nlohmann::json::array({"choice"});
    } else if (family == "AUDIO") {
        doc["api"] = "speechGenerate";
        doc["outputs"] = nlohmann::json::array({"audio"});
        if (projectorHasAudioEncoder(modelProperties, modelDir)) {
            inputs.push_back({{"type", "audio"}, {"role", "reference"}, {"max", 1}, {"mime", audioMime()}});
        }
    } else if (family == "IMAGE") {
        doc["api"] = "imageGenerate";
        doc["outputs"] = nlohmann::json::array({"image"});
        refImage();
    } else if (family == "VIDEO") {
        doc["api"] = "videoGenerate";
        doc["outputs"] = nlohmann::json::array({"video"});
        refImage();
    }
    doc["inputs"] = inputs;
    return doc;
}
