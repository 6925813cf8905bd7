// The check a model file passes before the llama library loads it. The
// library runs in this process and aborts it (an assertion, not an error)
// on some malformed files, so what its loader would abort on is refused
// here first:
//   - anything that is not a regular file (a FIFO would block the load),
//   - a GGUF header the reader cannot read (see readGgufHeader),
//   - token texts that are not unique (an empty text counts as the
//     library's "[EMPTY_<id>]"), or more than 2^31-1 of them,
//   - token scores or token types whose count differs from the token count,
//   - a special token id ("tokenizer.ggml.*_token_id") outside the token
//     list,
//   - for the file's architecture: a block count outside 1..512, more
//     next-token layers than blocks, more than 1024 experts, more experts
//     used than there are (or none used of some), expert groups that do not
//     divide the experts, or an unknown rope scaling type,
//   - an alignment that is not a power of two, a tensor with more than 4
//     dimensions, an unknown tensor type, a first dimension that is not a
//     whole number of blocks, or tensor data that lies outside the file.
//
// Pure function over the file (no shared state), safe from any thread.
// Reads every token text once; tensor data is never read.
#pragma once

#include <string>

// True when the file passes. Otherwise `error` names the first fault found,
// e.g. "not a regular file", "duplicate token text at id 98",
// "tokenizer.ggml.scores has 307 entries for 308 tokens",
// "tokenizer.ggml.bos_token_id 400 is outside the 308 tokens",
// "data of tensor output.weight lies outside the file", or one of the
// readGgufHeader texts ("corrupted or truncated GGUF header", ...).
bool checkGgufForLoader(const std::string& path, std::string& error);
