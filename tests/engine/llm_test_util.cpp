#include "llm_test_util.h"

#include <cstdio>
#include <mutex>

#include <llama.h>
#include <mtmd.h>

namespace llmtest {
namespace {

void quietLog(ggml_log_level level, const char* text, void*) {
    if (level == GGML_LOG_LEVEL_ERROR) std::fputs(text, stderr);
}

}  // namespace

void quietLlamaLogs() {
    static std::once_flag once;
    std::call_once(once, [] {
        llama_log_set(quietLog, nullptr);
        mtmd_log_set(quietLog, nullptr);
    });
}

ModelLoadSettings kitLoadSettings(const std::string& file) {
    ModelLoadSettings s;
    s.placement = "cpu";
    s.nGpuLayers = 0;
    s.modelPath = testModelPath(file);
    s.modelDir = testModelsDir();
    return s;
}

ContextSettings kitContextSettings() {
    ContextSettings c;
    c.nCtx = 256;
    c.nBatch = 256;
    c.nUbatch = 256;
    c.nThreads = 2;
    c.nThreadsBatch = 2;
    c.nPredict = 128;
    return c;
}

std::unique_ptr<MivrelLLMEngine> loadedEngine(const std::string& file, const ContextSettings& context) {
    quietLlamaLogs();
    auto engine = std::make_unique<MivrelLLMEngine>();
    engine->loadModel(kitLoadSettings(file));
    engine->initContext(context);
    return engine;
}

std::string chatPrompt(const std::string& ending) {
    return "<|im_start|>system\nBe brief.<|im_end|>\n<|im_start|>user\nWhat now?<|im_end|>\n<|im_start|>assistant" +
           ending;
}

std::vector<std::string> pullAll(MivrelLLMEngine& engine, size_t limit) {
    std::vector<std::string> pieces;
    std::string piece;
    while (pieces.size() < limit && engine.fetchNextToken(piece)) pieces.push_back(piece);
    return pieces;
}

std::string joined(const std::vector<std::string>& pieces) {
    std::string out;
    for (const std::string& p : pieces) out += p;
    return out;
}

}  // namespace llmtest
