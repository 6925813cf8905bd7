// The model load path of a chat instance over an arbitrary file: the engine's
// loadModel (the loader check, then libllama's own loader) and, when the
// model loads, tokenizing and detokenizing a text with markers in it. The
// seed is the kit's micro model. A file that makes libllama abort must be
// refused by the loader check instead; a refused or failed load is a
// MivrelException.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/logger.h"
#include "engine/engine_factory.h"
#include "engine/mivrel_exception.h"
#include "fuzz_support.h"
#include "llama.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        setLogEnabled(false);
        // The library's own log lines of every load would slow each run.
        llama_log_set([](ggml_log_level, const char*, void*) {}, nullptr);
        return true;
    }();
    (void)quiet;
    const std::string path = fuzz::writeScratchFile("model.gguf", data, size);
    std::unique_ptr<MivrelEngine> engine = createMivrelEngine("LLM");
    ModelLoadSettings settings;
    settings.modelPath = path;
    settings.placement = "cpu";
    settings.nGpuLayers = 0;
    try {
        engine->loadModel(settings);
    } catch (const MivrelException&) {
        return 0;
    }
    try {
        const std::vector<int32_t> tokens =
            engine->tokenizeText("<|im_start|>user\nHello, 세계! <think>x</think>\xF0\x9F\x98\x80", true, true);
        (void)engine->tokenizePrompt("plain text\n\n  two", {});
        (void)tokens;
        (void)engine->getModelInfo();
    } catch (const MivrelException&) {
    }
    engine->unloadModel();
    return 0;
}
