// The text of one token, whatever its length.
#pragma once

#include <cstdint>
#include <string>

#include <llama.h>

// Writes the text of `token` (special tokens rendered, no leading blank
// removed) into `out`; false, with `out` empty, when the library cannot
// convert it. Token texts can be longer than any fixed buffer (runs of
// blanks or symbols in some vocabularies), so the buffer grows to the size
// the library asks for. Thread-safe for a vocabulary nobody modifies.
bool tokenPieceText(const llama_vocab* vocab, int32_t token, std::string& out);
