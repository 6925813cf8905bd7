// Model information and per-layer tensor lists of a loaded kit model, and
// the layer-device summary of the tensor inspector.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "engine/tensor_inspector.h"
#include "llm_test_util.h"
#include "support/temp_dir.h"

namespace {

using namespace llmtest;
using namespace testmodels;

TEST(ModelInfoTest, EmptyRecordAndListWithoutAModel) {
    quietLlamaLogs();
    MivrelLLMEngine engine;
    const ModelInfo info = engine.getModelInfo();
    EXPECT_FALSE(info.loaded);
    EXPECT_EQ(info.ropeFreqScaleTrain, 1.0f);
    for (int32_t id : {info.bosToken, info.eosToken, info.eotToken, info.padToken, info.sepToken}) EXPECT_EQ(id, -1);
    EXPECT_TRUE(info.layerPlacement.empty());
    EXPECT_TRUE(info.metadata.empty());
    EXPECT_TRUE(info.ropeType.empty());
    EXPECT_TRUE(engine.listTensors(0).empty());
}

TEST(ModelInfoTest, FieldsOfTheTinyChatModel) {
    quietLlamaLogs();
    MivrelLLMEngine engine;
    engine.loadModel(kitLoadSettings(kTinyChatFile));
    const ModelInfo info = engine.getModelInfo();
    EXPECT_TRUE(info.loaded);
    EXPECT_EQ(info.nLayer, kBlockCount);
    EXPECT_EQ(info.nEmbd, kEmbeddingLength);
    EXPECT_EQ(info.nHead, kHeadCount);
    EXPECT_EQ(info.nHeadKv, kHeadCount);
    EXPECT_EQ(info.nCtxTrain, kTrainedContext);
    EXPECT_EQ(info.ropeType, "norm");
    EXPECT_FALSE(info.isRecurrent);
    EXPECT_FALSE(info.hasEncoder);
    EXPECT_TRUE(info.hasDecoder);
    EXPECT_GT(info.nParams, 0u);
    EXPECT_GT(info.sizeBytes, 0u);
    EXPECT_EQ(info.ftype, std::to_string(static_cast<int>(llama_model_ftype(engine.model()))));
    EXPECT_FALSE(info.description.empty());
    EXPECT_EQ(info.nVocab, kVocabSize);
    EXPECT_EQ(info.vocabType, "BPE");
    EXPECT_EQ(info.eotToken, kImEnd);
    EXPECT_EQ(info.eosToken, kImEnd);
    EXPECT_EQ(info.nGpuLayersRequested, 0);

    ASSERT_EQ(info.layerPlacement.size(), static_cast<size_t>(kBlockCount));
    for (size_t i = 0; i < info.layerPlacement.size(); ++i) {
        EXPECT_EQ(info.layerPlacement[i].index, static_cast<int32_t>(i));
        // The device, not the buffer kind ("CPU_Mapped", "CPU_REPACK").
        EXPECT_EQ(info.layerPlacement[i].device, "CPU");
    }
    std::map<std::string, std::string> meta;
    for (const MetadataEntry& m : info.metadata) meta[m.key] = m.value;
    EXPECT_EQ(meta["general.architecture"], "llama");
    EXPECT_EQ(meta["llama.context_length"], std::to_string(kTrainedContext));
    EXPECT_EQ(info.metadata.size(), static_cast<size_t>(llama_model_meta_count(engine.model())));
}

TEST(ModelInfoTest, TensorsOfOneLayerInLoadOrder) {
    quietLlamaLogs();
    MivrelLLMEngine engine;
    engine.loadModel(kitLoadSettings(kTinyChatFile));
    const char* parts[] = {"attn_norm", "attn_q", "attn_k", "attn_v", "attn_output",
                           "ffn_norm", "ffn_gate", "ffn_up", "ffn_down"};
    for (int layer = 0; layer < kBlockCount; ++layer) {
        SCOPED_TRACE(layer);
        const std::vector<TensorInfo> tensors = engine.listTensors(layer);
        ASSERT_EQ(tensors.size(), std::size(parts));
        std::map<std::string, const TensorInfo*> byName;
        for (const TensorInfo& t : tensors) {
            EXPECT_EQ(t.name.rfind("blk." + std::to_string(layer) + ".", 0), 0u) << t.name;
            EXPECT_EQ(t.device, "CPU");
            EXPECT_TRUE(t.hostAccessible);
            byName[t.name] = &t;
        }
        const TensorInfo* q = byName["blk." + std::to_string(layer) + ".attn_q.weight"];
        ASSERT_NE(q, nullptr);
        EXPECT_EQ(q->type, "f16");
        EXPECT_EQ(q->shape[0], kEmbeddingLength);
        EXPECT_EQ(q->shape[1], kEmbeddingLength);
        EXPECT_EQ(q->shape[2], 1);
        EXPECT_EQ(q->byteSize, kEmbeddingLength * kEmbeddingLength * 2);
        const TensorInfo* norm = byName["blk." + std::to_string(layer) + ".attn_norm.weight"];
        ASSERT_NE(norm, nullptr);
        EXPECT_EQ(norm->type, "f32");
        EXPECT_EQ(norm->byteSize, kEmbeddingLength * 4);
    }
    EXPECT_TRUE(engine.listTensors(kBlockCount).empty());
    std::vector<std::string> loose;
    for (const TensorInfo& t : engine.listTensors(-1)) loose.push_back(t.name);
    std::sort(loose.begin(), loose.end());
    EXPECT_EQ(loose, (std::vector<std::string>{"output.weight", "output_norm.weight", "token_embd.weight"}));
}

TEST(ModelInfoTest, AQuantizedModelOnTheCpuIsOneDevice) {
    // Quantized weights may be repacked into "CPU_REPACK" buffers beside the
    // mapped file's "CPU_Mapped" one: both are memory of the CPU, so every
    // layer is on "CPU", never "MIXED".
    quietLlamaLogs();
    TempDir dir;
    const std::string quantized = dir.file("tiny-q4_0.gguf");
    llama_model_quantize_params params = llama_model_quantize_default_params();
    params.ftype = LLAMA_FTYPE_MOSTLY_Q4_0;
    params.nthread = 1;
    ASSERT_EQ(llama_model_quantize(testModelPath(kTinyChatFile).c_str(), quantized.c_str(), &params), 0u);
    ModelLoadSettings settings = kitLoadSettings(kTinyChatFile);
    settings.modelPath = quantized;
    MivrelLLMEngine engine;
    engine.loadModel(settings);
    const ModelInfo info = engine.getModelInfo();
    ASSERT_EQ(info.layerPlacement.size(), static_cast<size_t>(kBlockCount));
    for (const LayerPlacement& layer : info.layerPlacement) EXPECT_EQ(layer.device, "CPU") << layer.index;
    bool quantizedSeen = false;
    for (const TensorInfo& t : engine.listTensors(0)) {
        EXPECT_EQ(t.device, "CPU") << t.name;
        quantizedSeen = quantizedSeen || t.type == "q4_0";
    }
    EXPECT_TRUE(quantizedSeen);
}

TEST(TensorInspectorTest, LayerFromName) {
    const std::pair<const char*, int32_t> cases[] = {
        {"blk.0.attn_q.weight", 0}, {"blk.17.ffn_up.weight", 17}, {"token_embd.weight", -1},
        {"blk..x", -1},             {"blk.3", -1},                {"blk.99999999999.x", -1},
        {"xblk.1.a", -1},
    };
    for (const auto& [name, layer] : cases) EXPECT_EQ(tensorLayerFromName(name), layer) << name;
}

TEST(TensorInspectorTest, LayerDevicesAreOneNameMixedOrUnknown) {
    auto record = [](int32_t layer, const char* device) {
        TensorInspectorRecord r{};
        r.layer = layer;
        if (device) {
            std::strcpy(r.deviceName, device);
            r.deviceKnown = 1;
        }
        return r;
    };
    const std::vector<TensorInspectorRecord> records = {
        record(0, "CUDA0"), record(0, "CUDA0"),  // one device
        record(1, "CUDA0"), record(1, "CPU"),    // two devices
        record(3, nullptr),                      // device not reported
        record(-1, "CPU"),  record(9, "CPU"),    // no layer / beyond the model
    };
    EXPECT_EQ(layerDevices(records, 4), (std::vector<std::string>{"CUDA0", "MIXED", "UNKNOWN", "UNKNOWN"}));
    EXPECT_TRUE(layerDevices(records, 0).empty());
}

}  // namespace
