// File references in inference requests: a client uploads a file into the
// instance's store and then names it "files/<name>" in a content block. These
// functions open the store with the request's Bearer token (once per
// conversion call), read the referenced files, enforce the file kinds each
// block type accepts, and turn every refusal into a FileBlockError.
//
// Everything here runs on the request's connection thread; a FileRefContext
// is never shared. The store serialises its own operations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "storage/storage_key.h"

class Mivrel;

// A refused content block or file reference, thrown by value. Whoever catches
// it answers with sendJsonError(handler, response, status, code, message).
struct FileBlockError {
    int status = 400;
    std::string code;
    std::string message;
};

// The largest document a block may inline, and the most document text one
// request may inline in total (so a request cannot grow a prompt without
// bound by naming many documents).
inline constexpr size_t kMaxDocumentBytes = 262144;
inline constexpr size_t kMaxInlinedDocumentBytes = 4194304;

// The file access of one conversion call (one request). The key is wiped when
// the context ends, also by an exception.
struct FileRefContext {
    FileRefContext(Mivrel& mivrel, std::string bearerToken);
    ~FileRefContext();
    FileRefContext(const FileRefContext&) = delete;
    FileRefContext& operator=(const FileRefContext&) = delete;

    Mivrel& mivrel;             // non-owning; the caller keeps it alive
    std::string bearerToken;    // "" without an Authorization header
    StorageKey key;             // empty until the store is opened
    bool opened = false;
    size_t inlinedDocumentBytes = 0;  // document text inlined so far
};

// `reference` without a leading "files/" (case-sensitive); otherwise unchanged.
std::string stripFilesPrefix(const std::string& reference);

// The "file" text of a block's "source" object: "" when the block, its
// "source" or the "file" member is missing. Throws FileBlockError 400
// "bad_request" "invalid file reference: " + the value as JSON when "file" is
// present but not a string.
std::string blockFileReference(const nlohmann::json& block);

// The whole stored file `name`; `reference` is the client's text, used in
// messages. Opens the store (create false) on first use and keeps its key in
// `context`; a failed open leaves the context unopened. Store failures become
// FileBlockError: not found 404 "file_not_found" "file not found: " +
// reference; key required 401 "storage_key_required"; key mismatch 403
// "storage_key_mismatch"; invalid name 400 "bad_request" "invalid file
// reference: " + reference; anything else 500 "internal_error" with the
// store's message. Other exceptions pass unchanged.
std::vector<uint8_t> loadFileReference(FileRefContext& context, const std::string& name,
                                       const std::string& reference);

// The bytes of a file-sourced image block: the name must be a valid file name
// (else 400 "invalid file reference: ") and a PNG or JPEG by its extension
// (else 400 "image blocks support PNG and JPEG only: " + reference + " (" +
// type + ")"); then loadFileReference.
std::vector<uint8_t> loadImageReference(FileRefContext& context, const nlohmann::json& block);

// As loadImageReference for WAV, MP3 and FLAC ("audio blocks support WAV, MP3
// and FLAC only: ").
std::vector<uint8_t> loadAudioReference(FileRefContext& context, const nlohmann::json& block);

// The text that replaces a file-sourced document block:
// "[첨부 파일: " + name + "]\n" + text + "\n[첨부 끝]". Refuses (400
// "bad_request", first fault wins) image and audio blocks, an invalid name, a
// type that is neither text/* nor application/json, a file over
// kMaxDocumentBytes, bytes that are not UTF-8, and a document that would take
// the context's inlined text over kMaxInlinedDocumentBytes; store failures as
// loadFileReference.
std::string documentBlockText(FileRefContext& context, const nlohmann::json& block);
