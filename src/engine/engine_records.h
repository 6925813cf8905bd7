// Plain records that cross the engine interface. They carry no behaviour; the
// engines fill them and the API handlers serialise them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// The live context of a llama-based engine; all zero without a context.
struct ContextStats {
    int32_t nCtx = 0;
    int32_t nPast = 0;
    int64_t usedCells = 0;   // highest position of sequence 0 plus one
    int64_t stateBytes = 0;  // size of a full state save
};

// Thought tracking of one chat generation, from the renderer's markers and the
// request.
struct ThinkingBudget {
    int32_t budget = 0;              // 0: no limit
    std::string thinkOpen;           // empty: no thought tracking
    std::string thinkClose;
    std::string closeThenAnswer;
    bool promptOpensThought = false;
    bool closeAtStart = false;
    bool closeByToken = false;
    std::string toolCallOpen;
    std::string toolCallClose;
    bool resumeInToolCall = false;
    bool guardAtStart = false;
};

// Statistics of the last generation. A new record is the "nothing generated"
// answer of engines without generation.
struct GenerationStats {
    int64_t prefillMs = 0;
    int32_t generatedTokens = 0;
    std::string stopReason;          // "n_predict", "hardcap", "eot", "abort", "decode_error"
    int32_t thinkingTokens = 0;
    bool inThinking = false;
    std::string thinkClosedBy = "none";  // "none", "model", "budget", "control"
    int32_t thinkBudget = 0;
    bool thinkingTracked = false;
    int32_t turnStartPos = 0;
    std::string stopTokenText;
    bool inToolCall = false;
    int32_t toolGraceUsed = 0;
};

// One sampled token of the raw token stream.
struct RawToken {
    int32_t token = 0;
    std::string piece;
    bool isControl = false;
    bool isEog = false;
};

// One image or audio file handed to startMediaGeneration.
struct MediaInput {
    std::vector<uint8_t> bytes;
    bool isAudio = false;
};

struct LayerPlacement {
    int32_t index = 0;
    std::string device;  // a device name, "MIXED" or "UNKNOWN"
};

struct MetadataEntry {
    std::string key;
    std::string value;
};

// What a loaded model is; the empty record without a model.
struct ModelInfo {
    bool loaded = false;
    int32_t nLayer = 0;
    int32_t nEmbd = 0;
    int32_t nHead = 0;
    int32_t nHeadKv = 0;
    int32_t nCtxTrain = 0;
    int32_t nSwa = 0;
    std::string ropeType;
    float ropeFreqScaleTrain = 1.0f;
    bool isRecurrent = false;
    bool isHybrid = false;
    bool hasEncoder = false;
    bool hasDecoder = false;
    uint64_t nParams = 0;
    uint64_t sizeBytes = 0;
    std::string ftype;
    std::string description;
    bool hasChatTemplate = false;
    int32_t nVocab = 0;
    std::string vocabType;
    int32_t bosToken = -1;
    int32_t eosToken = -1;
    int32_t eotToken = -1;
    int32_t padToken = -1;
    int32_t sepToken = -1;
    int32_t nGpuLayersRequested = 0;
    std::vector<LayerPlacement> layerPlacement;
    std::vector<MetadataEntry> metadata;
};

// One tensor of a loaded model.
struct TensorInfo {
    std::string name;
    std::string type;
    int64_t shape[4] = {0, 0, 0, 0};
    int64_t byteSize = 0;
    std::string device;  // "UNKNOWN" when not reported
    bool hostAccessible = false;
};

// The result of label and marker scoring: one value per label or marker.
struct ScoreRecord {
    std::vector<float> values;
    int32_t promptTokens = 0;
};

// One queued event of an image, video or speech job.
struct GenerationEvent {
    std::string type;  // "queued", "progress", "result", "error", "cancelled"
    int32_t step = 0;
    int32_t steps = 0;
    int64_t elapsedMs = 0;
    std::vector<std::string> files;
    nlohmann::json data = nlohmann::json::object();
};
