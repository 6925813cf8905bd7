// The models the kit writes. Each function writes one file and returns false
// (after printing why) when it cannot.
#pragma once

#include <cstdint>
#include <string>

#include <vector>

#include "chat_scripts.h"
#include "gguf_file_writer.h"
#include "kit_vocabulary.h"

namespace kit {

// Shape shared by both chat models; the projector's output width follows
// embeddingLength so it fits either of them. The speech model has its own.
struct ChatModelShape {
    uint32_t contextLength = 256;
    uint32_t embeddingLength = 64;
    uint32_t blockCount = 2;
    uint32_t headCount = 4;
    uint32_t feedForwardLength = 128;
    float rmsEpsilon = 1e-5f;
};

// Writes the six shape keys (context, width, blocks, feed-forward width,
// heads, KV heads equal to heads) of `architecture`.
void writeShapeMetadata(GgufFileWriter& out, const std::string& architecture, const ChatModelShape& shape);
// Writes the architecture and tokenizer keys of a llama-architecture chat
// model with `vocab` into `out`.
void writeLlamaMetadata(GgufFileWriter& out, const ChatModelShape& shape, const Vocabulary& vocab,
                        const std::string& name);
// Writes the tokenizer keys (byte-level BPE with `vocab`, ChatML template)
// that every kit chat model shares, whatever its architecture.
void writeTokenizerMetadata(GgufFileWriter& out, const Vocabulary& vocab);

bool writeTinyChatModel(const std::string& path, const Vocabulary& vocab);
// The same vocabulary on a model of width 4 and one block (the fuzz seed).
bool writeMicroChatModel(const std::string& path, const Vocabulary& vocab);
bool writeScriptedChatModel(const std::string& path, const Vocabulary& vocab);
// The scripted model with another script table; `name` is its general.name.
bool writeScriptedChatModel(const std::string& path, const Vocabulary& vocab, const std::vector<ChatScript>& scripts,
                            const std::string& name, const ChatModelShape& shape = ChatModelShape());
// The scripted model's endless reply with long token texts and a long
// context: megabytes of output, for clients that stop reading.
bool writeFloodChatModel(const std::string& path);
bool writeTinyProjector(const std::string& path, uint32_t textEmbeddingLength);
// A speech pair for the release's "pockettts" audio generation: the
// backbone (same vocabulary plus "<|audio_bos|>", n_embd 32) and its
// weights file (voice encoder and speech generator, random weights).
bool writeTinySpeechModel(const std::string& path, const Vocabulary& vocab);
bool writeTinySpeechProjector(const std::string& path);
// The bert decision model with its own WordPiece vocabulary.
bool writeTinyDecisionModel(const std::string& path);

}  // namespace kit
