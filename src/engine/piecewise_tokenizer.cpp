#include "engine/piecewise_tokenizer.h"

#include <cstring>

#include "llama.h"

namespace {

bool asciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

}  // namespace

bool tokenizesInPieces(const llama_vocab* vocab) {
    if (!vocab || llama_vocab_type(vocab) != LLAMA_VOCAB_TYPE_BPE || llama_vocab_get_add_eos(vocab)) return false;
    const int32_t count = llama_vocab_n_tokens(vocab);
    for (int32_t t = 0; t < count; ++t) {
        const int attr = llama_vocab_get_attr(vocab, t);
        if (!(attr & (LLAMA_TOKEN_ATTR_CONTROL | LLAMA_TOKEN_ATTR_USER_DEFINED))) continue;
        // A token that strips the blanks after it would take the blank that
        // begins the next piece.
        if (attr & LLAMA_TOKEN_ATTR_RSTRIP) return false;
        const char* text = llama_vocab_get_text(vocab, t);
        if (text && std::strchr(text, ' ')) return false;
    }
    return true;
}

size_t nextPieceBoundary(std::string_view text, size_t from) {
    for (size_t p = from < 1 ? 1 : from; p < text.size(); ++p) {
        if (asciiLetter(text[p - 1]) && text[p] == ' ' && p + 1 < text.size() && asciiLetter(text[p + 1])) return p;
    }
    return text.size();
}
