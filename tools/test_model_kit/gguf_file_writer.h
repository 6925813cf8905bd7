// Builds one GGUF file in memory (metadata and tensors) and writes it out.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ggml.h"
#include "gguf.h"

namespace kit {

// Collects keys and tensors for one GGUF file. Tensor data is copied into a
// ggml context owned by the writer, so callers may free their buffers at once.
// Every method aborts the program on misuse (duplicate tensor name, size
// mismatch): the kit is a build step and a half-written model is worse than a
// failed build. REQUIRES: external synchronization.
class GgufFileWriter {
public:
    GgufFileWriter();
    GgufFileWriter(const GgufFileWriter&) = delete;
    GgufFileWriter& operator=(const GgufFileWriter&) = delete;

    void setString(const std::string& key, const std::string& value);
    void setU32(const std::string& key, uint32_t value);
    void setF32(const std::string& key, float value);
    void setBool(const std::string& key, bool value);
    void setStringArray(const std::string& key, const std::vector<std::string>& values);
    void setI32Array(const std::string& key, const std::vector<int32_t>& values);
    void setF32Array(const std::string& key, const std::vector<float>& values);

    // Adds a tensor of shape `ne` (ggml order: ne[0] is the row length) holding
    // `values` converted to `type` (GGML_TYPE_F32, GGML_TYPE_F16, or
    // GGML_TYPE_Q8_0 for rows of a multiple of 32 values).
    void addTensor(const std::string& name, ggml_type type, const std::vector<int64_t>& ne,
                   const std::vector<float>& values);

    // Writes the file through a temporary name and a rename, so an interrupted
    // build never leaves a truncated model that looks up to date. Returns false
    // (and prints why) when the file cannot be written.
    bool writeTo(const std::string& path) const;

private:
    struct GgufFree {
        void operator()(gguf_context* c) const { gguf_free(c); }
    };
    struct GgmlFree {
        void operator()(ggml_context* c) const { ggml_free(c); }
    };

    std::unique_ptr<gguf_context, GgufFree> gguf_;
    // One ggml context per tensor keeps the memory plan trivial: each is sized
    // exactly for its tensor.
    std::vector<std::unique_ptr<ggml_context, GgmlFree>> tensorContexts_;
};

}  // namespace kit
