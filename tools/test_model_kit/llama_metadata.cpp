#include "kit_models.h"

namespace kit {
namespace {

// ChatML, for callers that ask libllama to apply the file's own template.
constexpr const char* kChatTemplate =
    "{% for message in messages %}"
    "{{ '<|im_start|>' + message['role'] + '\\n' + message['content'] + '<|im_end|>' + '\\n' }}"
    "{% endfor %}"
    "{% if add_generation_prompt %}{{ '<|im_start|>assistant\\n' }}{% endif %}";

}  // namespace

void writeLlamaMetadata(GgufFileWriter& out, const ChatModelShape& shape, const Vocabulary& vocab,
                        const std::string& name) {
    out.setString("general.architecture", "llama");
    out.setString("general.name", name);
    out.setU32("general.file_type", 1);  // mostly F16
    writeShapeMetadata(out, "llama", shape);
    out.setF32("llama.attention.layer_norm_rms_epsilon", shape.rmsEpsilon);
    out.setU32("llama.rope.dimension_count", shape.embeddingLength / shape.headCount);
    out.setF32("llama.rope.freq_base", 10000.0f);
    out.setU32("llama.vocab_size", static_cast<uint32_t>(vocab.tokens.size()));
    writeTokenizerMetadata(out, vocab);
}

void writeShapeMetadata(GgufFileWriter& out, const std::string& architecture, const ChatModelShape& shape) {
    const std::string p = architecture + ".";
    out.setU32(p + "context_length", shape.contextLength);
    out.setU32(p + "embedding_length", shape.embeddingLength);
    out.setU32(p + "block_count", shape.blockCount);
    out.setU32(p + "feed_forward_length", shape.feedForwardLength);
    out.setU32(p + "attention.head_count", shape.headCount);
    out.setU32(p + "attention.head_count_kv", shape.headCount);
}

void writeTokenizerMetadata(GgufFileWriter& out, const Vocabulary& vocab) {
    // Tokenizer: byte-level BPE ("gpt2") with Qwen2's pre-tokenizer. libllama
    // loads it with any vocabulary size; every byte is a token, so any text
    // tokenizes, and markers are split out before BPE runs.
    out.setString("tokenizer.ggml.model", "gpt2");
    out.setString("tokenizer.ggml.pre", "qwen2");
    out.setStringArray("tokenizer.ggml.tokens", vocab.tokens);
    out.setI32Array("tokenizer.ggml.token_type", vocab.types);
    out.setStringArray("tokenizer.ggml.merges", vocab.merges);
    const uint32_t endOfText = static_cast<uint32_t>(vocab.find("<|endoftext|>"));
    const uint32_t imEnd = static_cast<uint32_t>(vocab.find("<|im_end|>"));
    out.setU32("tokenizer.ggml.bos_token_id", endOfText);
    out.setU32("tokenizer.ggml.eos_token_id", imEnd);
    out.setU32("tokenizer.ggml.eot_token_id", imEnd);
    out.setU32("tokenizer.ggml.padding_token_id", endOfText);
    out.setBool("tokenizer.ggml.add_bos_token", false);
    out.setString("tokenizer.chat_template", kChatTemplate);
}

}  // namespace kit
