// The one vocabulary shared by the kit's chat models: 256 byte tokens, the
// turn, thought and tool markers of the prompt formats we serve, a few merged
// tokens and the words the scripted replies are made of.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace kit {

// Token types as GGUF stores them (tokenizer.ggml.token_type).
inline constexpr int32_t kTokenNormal = 1;
inline constexpr int32_t kTokenControl = 3;
inline constexpr int32_t kTokenUserDefined = 4;

struct Vocabulary {
    std::vector<std::string> tokens;   // texts as stored: byte-level form for normal tokens
    std::vector<int32_t> types;
    std::vector<std::string> merges;   // "left right", byte-level form
    std::unordered_map<std::string, int32_t> idByStoredText;

    // Id of the token stored as `storedText`, or -1.
    int32_t find(const std::string& storedText) const;
    // Id of a marker (by its literal text) or of a normal token whose bytes
    // are `raw`; -1 when the vocabulary has neither.
    int32_t idOfPiece(const std::string& raw) const;
};

// GPT-2's byte-level form of raw bytes: every byte becomes one printable code
// point (space is "Ġ", line feed "Ċ"), so any byte string is a valid token text.
std::string toByteLevel(const std::string& raw);

// Builds the vocabulary: ids 0..255 are the bytes (id == byte value), then the
// markers in table order, then the merged tokens, then `words` (raw bytes, in
// order, skipping ones already present). Aborts on a duplicate text.
Vocabulary buildVocabulary(const std::vector<std::string>& words);

// Whether `raw` is the literal text of one of the vocabulary's markers.
bool isMarkerText(const std::string& raw);

}  // namespace kit
