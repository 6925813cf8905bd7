#include "engine/placement.h"

#include <cctype>

namespace {

bool isGpuIndexForm(const std::string& v) { return parseGpuIndex(v) >= 0; }

bool isMediaModule(const std::string& key) {
    return key == "*" || key == "diffusion" || key == "te" || key == "vae" || key == "clip_vision";
}

}  // namespace

std::string trimLower(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    std::string out = text.substr(begin, end - begin);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

int parseGpuIndex(const std::string& value) {
    if (value.size() < 4 || value.size() > 6 || value.compare(0, 3, "gpu") != 0) return -1;
    int n = 0;
    for (size_t i = 3; i < value.size(); ++i) {
        if (value[i] < '0' || value[i] > '9') return -1;
        n = n * 10 + (value[i] - '0');
    }
    return n;
}

bool parsePlacementValue(const nlohmann::json& value, const std::string& name, const std::string& allowed,
                         bool mediaValues, std::string& error) {
    if (!value.is_string()) {
        error = "\"" + name + "\" must be a string (" + allowed + ")";
        return false;
    }
    const std::string raw = value.get<std::string>();
    const std::string v = trimLower(raw);
    if (!v.empty() && v.find(',') != std::string::npos) {
        error = "\"" + name + "\": multi-GPU split (\"" + raw + "\") is not supported yet \xE2\x80\x94 use one of " +
                allowed;
        return false;
    }
    bool valid = v == "auto" || v == "gpu" || isGpuIndexForm(v);
    if (mediaValues) {
        valid = valid || v == "ram" || v == "disk";
    } else {
        valid = valid || v == "cpu";
    }
    if (!valid) {
        error = "invalid \"" + name + "\": \"" + raw + "\" (use " + allowed + ")";
        return false;
    }
    return true;
}

bool checkPlacementSetting(const nlohmann::json& value, const std::string& name, bool multiModule, bool mediaValues,
                           std::string& error) {
    const std::string allowed = mediaValues ? kWeightsAllowed : kPlacementAllowed;
    if (value.is_string()) return parsePlacementValue(value, name, allowed, mediaValues, error);
    if (value.is_object()) {
        for (auto it = value.begin(); it != value.end(); ++it) {
            const std::string& key = it.key();
            const bool knownKey = multiModule ? isMediaModule(key) : key == "*";
            if (!knownKey) {
                error = "unknown module in \"" + name + "\": \"" + key + "\" " +
                        (multiModule ? "(use *, diffusion, te, vae, clip_vision)" : "(use \"*\" only for LLM)");
                return false;
            }
            if (it.value().is_null()) continue;
            if (!parsePlacementValue(it.value(), name + "." + key, allowed, mediaValues, error)) return false;
        }
        return true;
    }
    error = "\"" + name + "\" must be a string or an object";
    return false;
}

bool validatePlacementSettings(const nlohmann::json& settings, const std::string& familyType, std::string& error) {
    if (!settings.is_object()) return true;
    const bool media = familyType == "IMAGE" || familyType == "VIDEO";
    auto placement = settings.find("placement");
    if (placement != settings.end() && !placement->is_null()) {
        if (!checkPlacementSetting(*placement, "placement", media, false, error)) return false;
    }
    auto weights = settings.find("weights");
    if (weights != settings.end() && !weights->is_null()) {
        if (!media) {
            error = "\"weights\" is only for IMAGE / VIDEO mivrels (LLM uses n_gpu_layers / offload_kv)";
            return false;
        }
        return checkPlacementSetting(*weights, "weights", true, true, error);
    }
    return true;
}

std::string effectivePlacement(const nlohmann::json& instanceSettings, const nlohmann::json& modelProperties) {
    nlohmann::json taken;  // null: nothing taken
    if (instanceSettings.is_object() && instanceSettings.contains("placement") &&
        !instanceSettings["placement"].is_null()) {
        taken = instanceSettings["placement"];
    } else if (modelProperties.is_object() && modelProperties.contains("loadDefaults") &&
               modelProperties["loadDefaults"].is_object() && modelProperties["loadDefaults"].contains("placement")) {
        taken = modelProperties["loadDefaults"]["placement"];
    }
    if (taken.is_object()) taken = taken.contains("*") ? taken["*"] : nlohmann::json();
    if (taken.is_string()) {
        const std::string v = trimLower(taken.get<std::string>());
        return v.empty() ? "auto" : v;
    }
    if (taken.is_null()) return "auto";
    return taken.dump();
}
