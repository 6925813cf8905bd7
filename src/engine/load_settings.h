// The two records that configure an engine: ModelLoadSettings for loadModel
// and ContextSettings for initContext and resetContext. Plain, copyable
// records; every field starts at the value an instance gets when nothing
// overrides it.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

struct ModelLoadSettings {
    int32_t nGpuLayers = 20;          // 0 with placement "cpu"
    std::string placement = "auto";   // "auto", "cpu", "gpu" or "gpuN"
    std::string modelPath;            // the model's main file
    std::string assembler = "default";  // chooses renderer and assembler
    std::string thinkOpen = "<think>";
    std::string thinkClose = "</think>";
    std::string toolCallOpen = "<tool_call>";
    std::string toolCallClose = "</tool_call>";
    std::string modelDir;             // file names of the model properties are resolved here
    nlohmann::json modelProperties = nlohmann::json::object();  // the model's properties.json
    nlohmann::json params = nlohmann::json::object();           // the instance's properties.json
};

struct ContextSettings {
    int32_t nCtx = 4096;
    int32_t nBatch = 1024;
    int32_t nUbatch = 512;
    int32_t nPredict = 8192;
    bool offloadKv = true;
    std::string flashAttn;            // "on", "off", "auto", or empty for the engine's choice
    std::string cacheTypeK = "f16";
    std::string cacheTypeV = "f16";
    int32_t nThreads = 0;             // 0 or less: the library's default
    int32_t nThreadsBatch = 0;
    float temperature = 0.8f;
    int32_t topK = 30;
    float topP = 0.95f;
    int32_t minKeep = 1;
    int64_t seed = -1;                // -1 asks for a random seed
    float repeatPenalty = 1.1f;
    int32_t repeatLastN = 64;
};
