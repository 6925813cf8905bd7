// The GGUF header reader and the loader check over an arbitrary file: every
// metadata key, a wanted-key list, the model summary and checkGgufForLoader.
// The file is read, never loaded (model_load_fuzz loads it).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/gguf_load_check.h"
#include "engine/gguf_reader.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::writeScratchFile("model.gguf", data, size);
    GgufHeader header;
    std::string error;
    if (readGgufHeader(path, {}, header, error)) {
        const nlohmann::ordered_json summary = summarizeGguf(header);
        (void)summary.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
    } else if (error.empty()) {
        std::abort();
    }
    GgufHeader some;
    if (!readGgufHeader(path, {"tokenizer.*", "general.name"}, some, error) && error.empty()) std::abort();
    std::string refusal;
    if (!checkGgufForLoader(path, refusal) && refusal.empty()) std::abort();
    return 0;
}
