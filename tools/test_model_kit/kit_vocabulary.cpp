#include "kit_vocabulary.h"

#include <cstdio>
#include <cstdlib>

namespace kit {
namespace {

struct MarkerRow {
    const char* text;
    int32_t type;
};

// Markers written as single tokens. Tokens that end a turn (libllama picks
// them by text) are control tokens; Qwen's thought and tool markers are
// user-defined as in the published Qwen3 files, so they are matched in any
// text. libllama forces GPT-OSS's <|start|>, <|channel|>, <|message|> and
// <|constrain|> to user-defined whatever the file says, and also <|end|>,
// which it then no longer counts as an end of generation (a GPT-OSS reply
// goes on after the analysis channel's <|end|>); the table says the same.
// Token ids follow from the order of this table, the merges and the scripts;
// tests/support/test_models.h lists them and kit_tests checks the list, so a
// change here goes together with a change there.
constexpr MarkerRow kMarkers[] = {
    // ChatML (Qwen3)
    {"<|endoftext|>", kTokenControl},
    {"<|im_start|>", kTokenControl},
    {"<|im_end|>", kTokenControl},
    {"<think>", kTokenUserDefined},
    {"</think>", kTokenUserDefined},
    {"<tool_call>", kTokenUserDefined},
    {"</tool_call>", kTokenUserDefined},
    {"<tool_response>", kTokenUserDefined},
    {"</tool_response>", kTokenUserDefined},
    // Gemma4
    {"<|turn>", kTokenControl},
    {"<turn|>", kTokenControl},
    {"<|think|>", kTokenControl},
    {"<|channel>", kTokenControl},
    {"<channel|>", kTokenControl},
    {"<|tool_call>", kTokenControl},
    {"<tool_call|>", kTokenControl},
    {"<|tool_response>", kTokenControl},
    {"<tool_response|>", kTokenControl},
    {"<|tool>", kTokenControl},
    {"<tool|>", kTokenControl},
    {"<|\"|>", kTokenControl},
    // GPT-OSS
    {"<|start|>", kTokenUserDefined},
    {"<|channel|>", kTokenUserDefined},
    {"<|message|>", kTokenUserDefined},
    {"<|end|>", kTokenUserDefined},
    {"<|return|>", kTokenControl},
    {"<|call|>", kTokenControl},
    {"<|constrain|>", kTokenUserDefined},
    // Tolv
    {"<|eot|>", kTokenControl},
    {"<|eom|>", kTokenControl},
};

// Merges, in rank order. Each joins a line feed to what the pre-tokenizer
// keeps in front of it, so a prompt's last token can be chosen by its final
// characters (see the scripts' selectors).
constexpr const char* kMergePairs[][2] = {
    {"\n", "\n"},
    {":", "\n"},
    {"$", "\n"},
    {"~", "\n"},
};

std::string codePointToUtf8(uint32_t cp) {
    std::string out;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return out;
}

// GPT-2's bytes_to_unicode table: printable Latin-1 bytes map to themselves,
// the others to 256, 257, ... in byte order.
const std::vector<std::string>& byteLevelTable() {
    static const std::vector<std::string> table = [] {
        std::vector<std::string> t(256);
        uint32_t next = 256;
        for (uint32_t b = 0; b < 256; ++b) {
            const bool printable = (b >= 0x21 && b <= 0x7E) || (b >= 0xA1 && b <= 0xAC) || (b >= 0xAE);
            t[b] = codePointToUtf8(printable ? b : next++);
        }
        return t;
    }();
    return table;
}

void addToken(Vocabulary& v, const std::string& stored, int32_t type) {
    const int32_t id = static_cast<int32_t>(v.tokens.size());
    if (!v.idByStoredText.emplace(stored, id).second) {
        std::fprintf(stderr, "make_test_models: duplicate token text '%s'\n", stored.c_str());
        std::abort();
    }
    v.tokens.push_back(stored);
    v.types.push_back(type);
}

}  // namespace

std::string toByteLevel(const std::string& raw) {
    std::string out;
    for (unsigned char c : raw) out += byteLevelTable()[c];
    return out;
}

bool isMarkerText(const std::string& raw) {
    for (const MarkerRow& m : kMarkers) {
        if (raw == m.text) return true;
    }
    return false;
}

int32_t Vocabulary::find(const std::string& storedText) const {
    auto it = idByStoredText.find(storedText);
    return it == idByStoredText.end() ? -1 : it->second;
}

int32_t Vocabulary::idOfPiece(const std::string& raw) const {
    return find(isMarkerText(raw) ? raw : toByteLevel(raw));
}

Vocabulary buildVocabulary(const std::vector<std::string>& words) {
    Vocabulary v;
    for (int b = 0; b < 256; ++b) addToken(v, byteLevelTable()[b], kTokenNormal);
    for (const MarkerRow& m : kMarkers) addToken(v, m.text, m.type);
    for (const auto& pair : kMergePairs) {
        const std::string left = toByteLevel(pair[0]);
        const std::string right = toByteLevel(pair[1]);
        v.merges.push_back(left + " " + right);
        addToken(v, left + right, kTokenNormal);
    }
    for (const std::string& word : words) {
        const std::string stored = toByteLevel(word);
        if (v.find(stored) < 0) addToken(v, stored, kTokenNormal);
    }
    return v;
}

}  // namespace kit
