#include "engine/token_piece.h"

bool tokenPieceText(const llama_vocab* vocab, int32_t token, std::string& out) {
    out.assign(256, '\0');
    int32_t n = llama_token_to_piece(vocab, token, out.data(), static_cast<int32_t>(out.size()), 0, true);
    if (n < 0) {
        // A negative result is the size the text needs.
        out.assign(static_cast<size_t>(-static_cast<int64_t>(n)), '\0');
        n = llama_token_to_piece(vocab, token, out.data(), static_cast<int32_t>(out.size()), 0, true);
    }
    if (n < 0) {
        out.clear();
        return false;
    }
    out.resize(static_cast<size_t>(n));
    return true;
}
