// Tokenizing a big text in pieces, so that a stop can end the work between
// two pieces (the library's tokenizer runs to the end of whatever it is
// given, for minutes on tens of megabytes). Pieces end only where the
// vocabulary's tokenizer starts a new word anyway, so the tokens of the
// pieces joined are the tokens of the whole text.
//
// Pure functions over the vocabulary and the text; safe from any thread.
#pragma once

#include <cstddef>
#include <string_view>

struct llama_vocab;

// True when texts of `vocab` may be cut at nextPieceBoundary without changing
// their tokens: a byte-level BPE vocabulary (every pre-tokenizer of that kind
// ends a word of letters before a blank that the next word's letters follow,
// and merges only within a word) that adds no end token, and none of whose
// control or user-defined token texts holds a blank (so no such token can
// span a cut) or strips the blanks after it. False for a null vocabulary.
bool tokenizesInPieces(const llama_vocab* vocab);

// The first position at or after `from` (and after 0) where a piece may end:
// after an ASCII letter that one blank and an ASCII letter follow (a line
// feed is no such place: some pre-tokenizers join it to the next word).
// text.size() when there is none.
size_t nextPieceBoundary(std::string_view text, size_t from);
