#include "media/media_placement.h"

#include <filesystem>

#include "engine/mivrel_exception.h"
#include "engine/placement.h"

namespace {

struct RoleModule {
    const char* role;
    const char* module;
};

constexpr RoleModule kRoleModules[] = {
    {"diffusion_model", "diffusion"}, {"model", "diffusion"},        {"vae", "vae"},
    {"llm", "te"},                    {"llm_vision", "clip_vision"}, {"clip_l", "te"},
    {"clip_g", "te"},                 {"clip_vision", "clip_vision"}, {"t5xxl", "te"},
    {"audio_vae", "vae"},             {"embeddings_connectors", "te"}, {"taesd", "vae"},
    {"high_noise_diffusion_model", "diffusion"},
};

bool isPlacementModule(const std::string& module) {
    return module == "*" || module == "diffusion" || module == "te" || module == "vae" || module == "clip_vision";
}

}  // namespace

std::string placementModuleOfRole(const std::string& role) {
    for (const RoleModule& entry : kRoleModules) {
        if (role == entry.role) return entry.module;
    }
    return std::string();
}

bool isMediaModelRole(const std::string& role) { return !placementModuleOfRole(role).empty(); }

std::string mediaDeviceName(const std::string& value, bool storageAllowed, const std::vector<GpuDevice>& gpus) {
    const std::string v = trimLower(value);
    if (v == "auto") return "auto";
    if (v == "cpu") return "CPU";
    if (storageAllowed && v == "ram") return "CPU";
    if (storageAllowed && v == "disk") return "disk";
    if (v == "gpu" || parseGpuIndex(v) >= 0) {
        GpuDevice chosen;
        std::string error;
        if (!resolveGpuPlacement(v, gpus, chosen, error)) throw MivrelException(MivrelErrorCode::LoadFailed, "%s", error.c_str());
        if (!chosen.name.empty()) return chosen.name;
        return "CUDA" + std::to_string(chosen.index);
    }
    return std::string();
}

std::string parseMediaWeights(const nlohmann::json& value, const std::string& key, bool storageAllowed,
                              const std::vector<GpuDevice>& gpus) {
    if (value.is_null()) return std::string();
    nlohmann::json object = value;
    if (value.is_string()) object = nlohmann::json{{"*", value}};
    if (!object.is_object()) {
        throw MivrelException(MivrelErrorCode::LoadFailed, "\"%s\" must be a string or an object (module -> device)", key.c_str());
    }
    std::string joined;
    for (auto it = object.begin(); it != object.end(); ++it) {
        const std::string& module = it.key();
        if (!isPlacementModule(module)) {
            throw MivrelException(MivrelErrorCode::LoadFailed, "unknown module in %s: \"%s\" (use *, diffusion, te, vae, clip_vision)",
                                  key.c_str(), module.c_str());
        }
        const std::string name =
            it->is_string() ? mediaDeviceName(it->get<std::string>(), storageAllowed, gpus) : std::string();
        if (name.empty()) {
            throw MivrelException(MivrelErrorCode::LoadFailed, "invalid %s.%s: %s (use %s)", key.c_str(), module.c_str(), it->dump().c_str(),
                                  storageAllowed ? "auto, gpu, gpuN, ram, disk" : "auto, gpu, gpuN, cpu");
        }
        if (name == "auto") continue;
        if (!joined.empty()) joined += ",";
        joined += module + "=" + name;
    }
    return joined;
}

bool placedInRam(const nlohmann::json& w, const std::string& module, const std::vector<GpuDevice>& gpus) {
    if (!w.is_object()) return false;
    const nlohmann::json* device = nullptr;
    if (w.contains(module)) {
        device = &w[module];
    } else if (w.contains("*")) {
        device = &w["*"];
    }
    if (!device || !device->is_string()) return false;
    return mediaDeviceName(device->get<std::string>(), true, gpus) == "CPU";
}

uint64_t weightsRamNeed(const nlohmann::json& weights, const std::map<std::string, std::string>& roleFiles,
                        const std::vector<GpuDevice>& gpus) {
    nlohmann::json w;
    if (weights.is_string()) {
        w = nlohmann::json{{"*", weights}};
    } else if (weights.is_object()) {
        w = weights;
    } else {
        return 0;
    }
    uint64_t need = 0;
    for (const auto& [role, path] : roleFiles) {
        if (!placedInRam(w, placementModuleOfRole(role), gpus)) continue;
        std::error_code ec;
        const uintmax_t size = std::filesystem::file_size(path, ec);
        if (!ec) need += size;
    }
    return need;
}

void checkWeightsFitRam(uint64_t need, uint64_t available) {
    if (need == 0 || available == 0 || available >= need) return;
    constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;
    throw MivrelException(MivrelErrorCode::LoadFailed,
                          "weights placed in RAM (%.1f GB) exceed available RAM (%.1f GB) \xE2\x80\x94 set "
                          "\"mmap\": true, or remove \"weights\" to use automatic placement",
                          static_cast<double>(need) / kGiB, static_cast<double>(available) / kGiB);
}
