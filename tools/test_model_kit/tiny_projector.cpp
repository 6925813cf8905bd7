#include <cmath>

#include "kit_models.h"
#include "kit_random.h"

namespace kit {
namespace {

// A CLIP vision tower with a LLaVA-style two-layer projector ("mlp"):
// 32x32 images in 8x8 patches give 16 image tokens.
constexpr uint32_t kImageSize = 32;
constexpr uint32_t kPatchSize = 8;
constexpr uint32_t kVisionEmbd = 32;
constexpr uint32_t kVisionHeads = 2;
// Differs from kVisionEmbd on purpose: mtmd takes a feed-forward pair whose
// down matrix starts with the embedding width for one stored the other way
// round and swaps them.
constexpr uint32_t kVisionFf = 64;
constexpr uint32_t kBlocks = 2;

float layerScale(int64_t fanIn) { return std::sqrt(3.0f / static_cast<float>(fanIn)); }

}  // namespace

bool writeTinyProjector(const std::string& path, uint32_t textEmbeddingLength) {
    const int64_t embd = kVisionEmbd;
    const int64_t ff = kVisionFf;
    const int64_t patches = (kImageSize / kPatchSize) * (kImageSize / kPatchSize);
    const int64_t textEmbd = textEmbeddingLength;

    GgufFileWriter out;
    out.setString("general.architecture", "clip");
    out.setString("general.name", "tiny-mmproj");
    out.setU32("general.file_type", 1);
    out.setBool("clip.has_vision_encoder", true);
    out.setString("clip.projector_type", "mlp");
    out.setBool("clip.use_gelu", true);
    out.setU32("clip.vision.image_size", kImageSize);
    out.setU32("clip.vision.patch_size", kPatchSize);
    out.setU32("clip.vision.embedding_length", kVisionEmbd);
    out.setU32("clip.vision.feed_forward_length", kVisionFf);
    out.setU32("clip.vision.block_count", kBlocks);
    out.setU32("clip.vision.attention.head_count", kVisionHeads);
    out.setF32("clip.vision.attention.layer_norm_epsilon", 1e-6f);
    out.setU32("clip.vision.projection_dim", textEmbeddingLength);
    out.setF32Array("clip.vision.image_mean", {0.5f, 0.5f, 0.5f});
    out.setF32Array("clip.vision.image_std", {0.5f, 0.5f, 0.5f});

    KitRandom rng(20240612);
    auto small = [&rng](int64_t count) { return rng.uniformValues(static_cast<size_t>(count), 0.02f); };
    const std::vector<float> ones(static_cast<size_t>(embd), 1.0f);

    out.addTensor("v.patch_embd.weight", GGML_TYPE_F16, {kPatchSize, kPatchSize, 3, embd},
                  rng.uniformValues(static_cast<size_t>(kPatchSize * kPatchSize * 3 * embd),
                                    layerScale(kPatchSize * kPatchSize * 3)));
    out.addTensor("v.position_embd.weight", GGML_TYPE_F32, {embd, patches}, small(embd * patches));
    out.addTensor("v.pre_ln.weight", GGML_TYPE_F32, {embd}, ones);
    out.addTensor("v.pre_ln.bias", GGML_TYPE_F32, {embd}, small(embd));
    for (uint32_t b = 0; b < kBlocks; ++b) {
        const std::string p = "v.blk." + std::to_string(b) + ".";
        for (const char* m : {"attn_q", "attn_k", "attn_v", "attn_out"}) {
            out.addTensor(p + m + ".weight", GGML_TYPE_F16, {embd, embd},
                          rng.uniformValues(static_cast<size_t>(embd * embd), layerScale(embd)));
            out.addTensor(p + m + ".bias", GGML_TYPE_F32, {embd}, small(embd));
        }
        out.addTensor(p + "ln1.weight", GGML_TYPE_F32, {embd}, ones);
        out.addTensor(p + "ln1.bias", GGML_TYPE_F32, {embd}, small(embd));
        out.addTensor(p + "ln2.weight", GGML_TYPE_F32, {embd}, ones);
        out.addTensor(p + "ln2.bias", GGML_TYPE_F32, {embd}, small(embd));
        out.addTensor(p + "ffn_up.weight", GGML_TYPE_F16, {embd, ff},
                      rng.uniformValues(static_cast<size_t>(embd * ff), layerScale(embd)));
        out.addTensor(p + "ffn_up.bias", GGML_TYPE_F32, {ff}, small(ff));
        out.addTensor(p + "ffn_down.weight", GGML_TYPE_F16, {ff, embd},
                      rng.uniformValues(static_cast<size_t>(ff * embd), layerScale(ff)));
        out.addTensor(p + "ffn_down.bias", GGML_TYPE_F32, {embd}, small(embd));
    }
    // mm.2's output width must equal the text model's embedding width: mtmd
    // refuses a projector that does not fit the model it is paired with.
    out.addTensor("mm.0.weight", GGML_TYPE_F16, {embd, textEmbd},
                  rng.uniformValues(static_cast<size_t>(embd * textEmbd), layerScale(embd)));
    out.addTensor("mm.0.bias", GGML_TYPE_F32, {textEmbd}, small(textEmbd));
    out.addTensor("mm.2.weight", GGML_TYPE_F16, {textEmbd, textEmbd},
                  rng.uniformValues(static_cast<size_t>(textEmbd * textEmbd), layerScale(textEmbd)));
    out.addTensor("mm.2.bias", GGML_TYPE_F32, {textEmbd}, small(textEmbd));
    return out.writeTo(path);
}

}  // namespace kit
