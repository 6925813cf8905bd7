// Reads the header of a GGUF file (the llama library's model format) without
// loading the model: the version, the counts, the wanted metadata and the
// parameter count from the tensor infos. Tensor data is never read; skipped
// values, long arrays and tensor names are passed over with seeks.
//
// All functions are pure (no shared state) and safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct GgufHeader {
    uint32_t version = 0;
    uint64_t tensorCount = 0;
    uint64_t parameterCount = 0;  // sum over tensors of the product of their dimensions
    // The wanted metadata in file order; a key that occurs twice keeps its
    // first position and its last value.
    nlohmann::ordered_json metadata = nlohmann::ordered_json::object();
    uint64_t metadataCount = 0;
};

// The longest string the reader accepts (256 MiB).
inline constexpr uint64_t kGgufMaxStringLength = 0x10000000ULL;
// Arrays longer than this are summarised, never read element by element.
inline constexpr uint64_t kGgufMaxArrayRead = 64;

// True when the whole header and every tensor info were read. On failure
// `error` is exactly one of "cannot open file" (a FIFO, device or folder
// too: only regular files are opened, without blocking), "not a GGUF file",
// "unsupported GGUF version " followed by the version, or "corrupted or
// truncated GGUF header", and `header` holds what was read before the
// failure. Never throws for file contents. Metadata keys and string values
// come back as valid UTF-8 (replaceInvalidUtf8).
//
// A wanted array of at most 64 elements is kept whole; a longer one becomes
// {"type": "array", "element_type": <name>, "count": <n>}. Arrays of arrays,
// unknown value types, strings longer than 256 MiB, tensors with more than 8
// dimensions, and anything that reaches past the end of the file are
// corruption.
bool readGgufHeader(const std::string& path, const std::vector<std::string>& wantedKeys, GgufHeader& header,
                    std::string& error);

// True when `path` is a regular file whose first four bytes are the GGUF
// magic "GGUF". Reads only those bytes; a folder, FIFO, device, unreadable or
// shorter file gives false. Never throws.
bool beginsWithGgufMagic(const std::string& path);

// The model summary of a header read with an empty wanted list: architecture,
// name, size label, parameters, file type, the architecture's context length,
// block count, embedding length and head counts, tokenizer, vocabulary size,
// chat-template facts, and the GGUF version and counts.
nlohmann::ordered_json summarizeGguf(const GgufHeader& header);

// True when the list is empty, holds "*", holds the key, or holds an entry
// "prefix.*" and the key begins with "prefix.".
bool isWantedKey(const std::string& key, const std::vector<std::string>& wantedKeys);

// The wanted list of a model-information query: the "keys" parameter,
// url-decoded and split at commas. Empty (every key) when there is none.
std::vector<std::string> wantedKeysFromQuery(const std::string& query);

// The undecoded value of the first "&"-separated parameter whose undecoded
// name equals `name`; empty for a parameter without "=" or a missing one.
std::string queryParam(const std::string& query, const std::string& name);

// "%" and two hex digits become that byte, "+" a blank; everything else, a
// "%" without two hex digits after it included, is copied.
std::string urlDecode(const std::string& text);

// Splits at ",", trims blanks and tabs, drops empty pieces, keeps the order.
std::vector<std::string> splitKeyList(const std::string& text);
