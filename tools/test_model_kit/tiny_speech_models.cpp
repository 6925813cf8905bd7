#include <cmath>

#include "kit_models.h"
#include "kit_random.h"

namespace kit {
namespace {

// The speech backbone ("pockettts" text model). It has no output head of its
// own: the release reuses the token table for the logits nobody reads.
constexpr ChatModelShape kSpeechShape{.contextLength = 512,
                                      .embeddingLength = 32,
                                      .blockCount = 1,
                                      .headCount = 2,
                                      .feedForwardLength = 64,
                                      .rmsEpsilon = 1e-5f};

// The audio-generation weights. The release fixes the codec's strides
// (4 * 5 * 6 in the convolution stack, 16 in the resampler) and nothing
// else: every width below comes from the tensor shapes.
constexpr int64_t kLatent = 8;       // one latent per frame
constexpr int64_t kFlowWidth = 16;   // flow-matching decoder
constexpr int64_t kFlowHidden = 32;
constexpr int64_t kFlowFreqs = 8;    // timestep embedding: cos and sin of each
constexpr int64_t kCodecWidth = 16;  // codec transformers, both directions
constexpr int64_t kCodecFf = 32;     // differs from kCodecWidth, see tiny_projector.cpp
constexpr uint32_t kCodecHeads = 2;
constexpr int64_t kConvChannels = 4;
constexpr int64_t kResamplerStride = 16;
// Encoder order; the decoder walks them backwards.
constexpr int64_t kStageStrides[] = {4, 5, 6};
// Far above the release's end-of-speech threshold (-4) whatever the hidden
// state: speech ends at the first frame and only the fixed tail follows, so
// the length of the audio depends on the text alone.
constexpr float kEndOfSpeechBias = 10.0f;

float layerScale(int64_t fanIn) { return std::sqrt(3.0f / static_cast<float>(fanIn)); }

class SpeechTensors {
public:
    SpeechTensors(GgufFileWriter& out, uint64_t seed) : out_(out), rng_(seed) {}

    // A matrix taking `in` values to `out` (ggml order {in, out}).
    void linear(const std::string& name, int64_t in, int64_t outWidth, bool bias) {
        out_.addTensor(name + ".weight", GGML_TYPE_F32, {in, outWidth}, random(in * outWidth, layerScale(in)));
        if (bias) out_.addTensor(name + ".bias", GGML_TYPE_F32, {outWidth}, random(outWidth, 0.02f));
    }
    // A causal convolution kernel {k, in, out}; F16 as the release's
    // converter stores them.
    void conv(const std::string& name, int64_t k, int64_t in, int64_t outChannels, bool bias) {
        out_.addTensor(name + ".weight", GGML_TYPE_F16, {k, in, outChannels},
                       random(k * in * outChannels, layerScale(k * in)));
        if (bias) out_.addTensor(name + ".bias", GGML_TYPE_F32, {outChannels}, random(outChannels, 0.02f));
    }
    // A transposed convolution kernel {k, out, in}.
    void convTransposed(const std::string& name, int64_t k, int64_t in, int64_t outChannels) {
        out_.addTensor(name + ".weight", GGML_TYPE_F16, {k, outChannels, in},
                       random(k * outChannels * in, layerScale(k * in)));
        out_.addTensor(name + ".bias", GGML_TYPE_F32, {outChannels}, random(outChannels, 0.02f));
    }
    // A depthwise transposed convolution kernel {k, 1, channels}; with
    // k = 2 * stride every output sample sums two inputs.
    void depthwise(const std::string& name, int64_t k, int64_t channels) {
        out_.addTensor(name + ".weight", GGML_TYPE_F16, {k, 1, channels}, random(k * channels, layerScale(2)));
    }
    void vector(const std::string& name, int64_t n, float value) {
        out_.addTensor(name, GGML_TYPE_F32, {n}, std::vector<float>(static_cast<size_t>(n), value));
    }
    void randomVector(const std::string& name, int64_t n, float scale) {
        out_.addTensor(name, GGML_TYPE_F32, {n}, random(n, scale));
    }
    void norm(const std::string& name, int64_t n) {
        vector(name + ".weight", n, 1.0f);
        randomVector(name + ".bias", n, 0.02f);
    }

    // One pre-norm codec transformer block with layer scale (names under `p`).
    void codecBlock(const std::string& p) {
        norm(p + "ln1", kCodecWidth);
        for (const char* m : {"attn_q", "attn_k", "attn_v", "attn_out"}) linear(p + m, kCodecWidth, kCodecWidth, false);
        vector(p + "ls1.weight", kCodecWidth, 0.1f);
        norm(p + "ln2", kCodecWidth);
        linear(p + "ffn_up", kCodecWidth, kCodecFf, false);
        linear(p + "ffn_down", kCodecFf, kCodecWidth, false);
        vector(p + "ls2.weight", kCodecWidth, 0.1f);
    }

    // A residual unit: dilated conv to half the channels, pointwise back.
    void residualUnit(const std::string& p) {
        conv(p + "res_conv1", 3, kConvChannels, kConvChannels / 2, true);
        conv(p + "res_conv2", 1, kConvChannels / 2, kConvChannels, true);
    }

private:
    std::vector<float> random(int64_t count, float scale) {
        return rng_.uniformValues(static_cast<size_t>(count), scale);
    }

    GgufFileWriter& out_;
    KitRandom rng_;
};

// The keys of one codec direction ("audio" or "gen.audio"): its transformer
// and the width it hands to the backbone.
void writeCodecKeys(GgufFileWriter& out, const std::string& direction, const std::string& projectorType,
                    uint32_t textEmbd) {
    const std::string p = "clip." + direction + ".";
    out.setString(p + "projector_type", projectorType);
    out.setU32(p + "embedding_length", kCodecWidth);
    out.setU32(p + "feed_forward_length", kCodecFf);
    out.setU32(p + "block_count", 1);
    out.setU32(p + "attention.head_count", kCodecHeads);
    out.setF32(p + "attention.layer_norm_epsilon", 1e-5f);
    out.setU32(p + "projection_dim", textEmbd);
}

void writeSpeechEncoder(GgufFileWriter& out, SpeechTensors& t, uint32_t textEmbd) {
    out.setBool("clip.has_audio_encoder", true);
    writeCodecKeys(out, "audio", "pockettts_spkenc", textEmbd);
    // The waveform travels as a one-row "mel".
    out.setU32("clip.audio.num_mel_bins", 1);

    t.conv("a.seanet.conv_in", 7, 1, kConvChannels, true);
    for (int i = 0; i < 3; ++i) {
        const std::string p = "a.seanet.blk." + std::to_string(i) + ".";
        t.residualUnit(p);
        t.conv(p + "scale_conv", 2 * kStageStrides[i], kConvChannels, kConvChannels, true);
    }
    t.conv("a.seanet.conv_out", 3, kConvChannels, kCodecWidth, true);
    t.codecBlock("a.blk.0.");
    t.conv("a.downsample.conv", 2 * kResamplerStride, kCodecWidth, kCodecWidth, false);
    t.linear("a.speaker_proj", kCodecWidth, textEmbd, false);
}

void writeSpeechGenerator(GgufFileWriter& out, SpeechTensors& t, uint32_t textEmbd) {
    out.setBool("clip.has_gen_audio_encoder", true);
    writeCodecKeys(out, "gen.audio", "pockettts_gen", textEmbd);
    out.setString("clip.gen.audio.model_variant", "english");

    // Flow-matching decoder: hidden state -> latent.
    t.linear("a.gen.flow.input_proj", kLatent, kFlowWidth, true);
    t.linear("a.gen.flow.cond_embd", textEmbd, kFlowWidth, true);
    for (int i = 0; i < 2; ++i) {
        const std::string p = "a.gen.flow.time." + std::to_string(i) + ".";
        t.randomVector(p + "freqs", kFlowFreqs, 1.0f);
        t.linear(p + "up", 2 * kFlowFreqs, kFlowWidth, true);
        t.linear(p + "down", kFlowWidth, kFlowWidth, true);
        t.vector(p + "norm", kFlowWidth, 1.0f);
    }
    t.norm("a.gen.flow.blk.0.norm", kFlowWidth);
    t.linear("a.gen.flow.blk.0.up", kFlowWidth, kFlowHidden, true);
    t.linear("a.gen.flow.blk.0.down", kFlowHidden, kFlowWidth, true);
    t.linear("a.gen.flow.blk.0.ada", kFlowWidth, 3 * kFlowWidth, true);
    t.linear("a.gen.flow.final.ada", kFlowWidth, 2 * kFlowWidth, true);
    t.linear("a.gen.flow.final.proj", kFlowWidth, kLatent, true);

    t.linear("a.gen.out_eos", textEmbd, 1, false);
    out.addTensor("a.gen.out_eos.bias", GGML_TYPE_F32, {1}, {kEndOfSpeechBias});
    t.linear("a.gen.input_linear", kLatent, textEmbd, false);
    t.randomVector("a.gen.emb_mean", kLatent, 0.02f);
    t.vector("a.gen.emb_std", kLatent, 1.0f);

    // Codec decoder: latents -> 1920 samples a frame.
    t.linear("a.gen.wav.quant_out", kLatent, kCodecWidth, false);
    t.depthwise("a.gen.wav.upsample", 2 * kResamplerStride, kCodecWidth);
    t.codecBlock("a.gen.wav.tfm.blk.0.");
    t.conv("a.gen.wav.seanet.conv_in", 7, kCodecWidth, kConvChannels, true);
    for (int i = 0; i < 3; ++i) {
        const std::string p = "a.gen.wav.seanet.blk." + std::to_string(i) + ".";
        t.convTransposed(p + "scale_conv", 2 * kStageStrides[2 - i], kConvChannels, kConvChannels);
        t.residualUnit(p);
    }
    t.conv("a.gen.wav.seanet.conv_out", 3, kConvChannels, 1, true);
}

}  // namespace

bool writeTinySpeechModel(const std::string& path, const Vocabulary& vocab) {
    Vocabulary speechVocab = vocab;
    // The release starts the speech after the text with this token's row.
    const int32_t audioBos = static_cast<int32_t>(speechVocab.tokens.size());
    speechVocab.tokens.push_back("<|audio_bos|>");
    speechVocab.types.push_back(kTokenControl);
    speechVocab.idByStoredText["<|audio_bos|>"] = audioBos;

    const int64_t embd = kSpeechShape.embeddingLength;
    const int64_t ff = kSpeechShape.feedForwardLength;
    const int64_t nVocab = static_cast<int64_t>(speechVocab.tokens.size());

    GgufFileWriter out;
    out.setString("general.architecture", "pockettts");
    out.setString("general.name", "tiny-speech");
    out.setU32("general.file_type", 1);
    writeShapeMetadata(out, "pockettts", kSpeechShape);
    out.setF32("pockettts.attention.layer_norm_epsilon", kSpeechShape.rmsEpsilon);
    out.setF32("pockettts.rope.freq_base", 10000.0f);
    out.setU32("pockettts.vocab_size", static_cast<uint32_t>(nVocab));
    writeTokenizerMetadata(out, speechVocab);

    KitRandom rng(20240614);
    auto random = [&rng](int64_t count, float scale) { return rng.uniformValues(static_cast<size_t>(count), scale); };
    const std::vector<float> ones(static_cast<size_t>(embd), 1.0f);
    out.addTensor("token_embd.weight", GGML_TYPE_F16, {embd, nVocab}, random(embd * nVocab, std::sqrt(3.0f)));
    for (uint32_t b = 0; b < kSpeechShape.blockCount; ++b) {
        const std::string p = "blk." + std::to_string(b) + ".";
        out.addTensor(p + "attn_norm.weight", GGML_TYPE_F32, {embd}, ones);
        out.addTensor(p + "attn_norm.bias", GGML_TYPE_F32, {embd}, random(embd, 0.02f));
        for (const char* m : {"attn_q", "attn_k", "attn_v", "attn_output"}) {
            out.addTensor(p + m + ".weight", GGML_TYPE_F16, {embd, embd}, random(embd * embd, layerScale(embd)));
        }
        out.addTensor(p + "ffn_norm.weight", GGML_TYPE_F32, {embd}, ones);
        out.addTensor(p + "ffn_norm.bias", GGML_TYPE_F32, {embd}, random(embd, 0.02f));
        out.addTensor(p + "ffn_up.weight", GGML_TYPE_F16, {embd, ff}, random(embd * ff, layerScale(embd)));
        out.addTensor(p + "ffn_down.weight", GGML_TYPE_F16, {ff, embd}, random(ff * embd, layerScale(ff)));
    }
    out.addTensor("output_norm.weight", GGML_TYPE_F32, {embd}, ones);
    out.addTensor("output_norm.bias", GGML_TYPE_F32, {embd}, random(embd, 0.02f));
    return out.writeTo(path);
}

bool writeTinySpeechProjector(const std::string& path) {
    GgufFileWriter out;
    out.setString("general.architecture", "clip");
    out.setString("general.name", "tiny-speech-mmproj");
    out.setU32("general.file_type", 1);

    SpeechTensors tensors(out, 20240613);
    writeSpeechEncoder(out, tensors, kSpeechShape.embeddingLength);
    writeSpeechGenerator(out, tensors, kSpeechShape.embeddingLength);
    return out.writeTo(path);
}

}  // namespace kit
