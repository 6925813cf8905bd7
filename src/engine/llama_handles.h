// One owner per handle of the inference libraries: each alias frees its
// handle with the library's own function when it goes out of scope.
#pragma once

#include <memory>

#include <llama.h>
#include <mtmd-helper.h>
#include <mtmd.h>

struct LlamaModelFree {
    void operator()(llama_model* m) const { llama_model_free(m); }
};
struct LlamaContextFree {
    void operator()(llama_context* c) const { llama_free(c); }
};
struct LlamaSamplerFree {
    void operator()(llama_sampler* s) const { llama_sampler_free(s); }
};
struct MtmdContextFree {
    void operator()(mtmd_context* c) const { mtmd_free(c); }
};
struct MtmdBitmapFree {
    void operator()(mtmd_bitmap* b) const { mtmd_bitmap_free(b); }
};
struct MtmdChunksFree {
    void operator()(mtmd_input_chunks* c) const { mtmd_input_chunks_free(c); }
};

using LlamaModelPtr = std::unique_ptr<llama_model, LlamaModelFree>;
using LlamaContextPtr = std::unique_ptr<llama_context, LlamaContextFree>;
using LlamaSamplerPtr = std::unique_ptr<llama_sampler, LlamaSamplerFree>;
using MtmdContextPtr = std::unique_ptr<mtmd_context, MtmdContextFree>;
using MtmdBitmapPtr = std::unique_ptr<mtmd_bitmap, MtmdBitmapFree>;
using MtmdChunksPtr = std::unique_ptr<mtmd_input_chunks, MtmdChunksFree>;
