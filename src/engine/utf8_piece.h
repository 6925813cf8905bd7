// How the token loop turns token bytes into pieces of whole UTF-8: only an
// incomplete tail that the next token may still complete is held back; bytes
// that can never form a character go out as U+FFFD, so one bad byte never
// stalls the stream. Sequences are judged by lead-byte shape, as isValidUtf8
// does. Pure functions.
#pragma once

#include <cstddef>
#include <string>

// The length (1 to 3) of a tail of `text` that is the start of a multi-byte
// sequence still missing continuation bytes; 0 when there is none.
size_t incompleteUtf8Tail(const std::string& text);

// `text` with every byte that does not belong to a whole sequence replaced by
// U+FFFD (EF BF BD). Whole sequences are copied unchanged.
std::string replaceBrokenUtf8(const std::string& text);
