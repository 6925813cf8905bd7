#include "api/file_references.h"

#include <utility>

#include "base/text_util.h"
#include "base/utf8.h"
#include "engine/mivrel.h"
#include "storage/file_store.h"
#include "storage/mime_types.h"
#include "storage/storage_format.h"

namespace {

const char* const kFilesPrefix = "files/";
const char* const kKeyRequiredMessage = "This mivrel's storage is encrypted; send the Authorization: Bearer key.";
const char* const kKeyMismatchMessage =
    "The Bearer key does not match the key this mivrel's storage was encrypted with.";

FileBlockError badRequest(const std::string& message) { return FileBlockError{400, "bad_request", message}; }

FileBlockError fromStoreFailure(const FileStoreException& e, const std::string& reference) {
    switch (e.kind()) {
        case FileStoreException::kNotFound:
            return FileBlockError{404, "file_not_found", "file not found: " + reference};
        case FileStoreException::kKeyRequired:
            return FileBlockError{401, "storage_key_required", kKeyRequiredMessage};
        case FileStoreException::kKeyMismatch:
            return FileBlockError{403, "storage_key_mismatch", kKeyMismatchMessage};
        case FileStoreException::kInvalidName:
            return badRequest("invalid file reference: " + reference);
        default:
            return FileBlockError{500, "internal_error", e.what()};
    }
}

std::string blockType(const nlohmann::json& block) {
    const auto it = block.find("type");
    return it != block.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// The bytes of a media block whose stored type must be one of `accepted`.
std::vector<uint8_t> loadMediaReference(FileRefContext& context, const nlohmann::json& block,
                                        const std::vector<std::string>& accepted, const std::string& refusal) {
    const std::string reference = blockFileReference(block);
    const std::string name = stripFilesPrefix(reference);
    if (!isValidFileName(name)) throw badRequest("invalid file reference: " + reference);
    const std::string mime = mimeTypeOfFile(name);
    bool ok = false;
    for (const std::string& type : accepted) ok = ok || type == mime;
    if (!ok) throw badRequest(refusal + reference + " (" + mime + ")");
    return loadFileReference(context, name, reference);
}

}  // namespace

FileRefContext::FileRefContext(Mivrel& m, std::string token) : mivrel(m), bearerToken(std::move(token)) {}

FileRefContext::~FileRefContext() { wipeKey(key); }

std::string stripFilesPrefix(const std::string& reference) {
    return startsWith(reference, kFilesPrefix) ? reference.substr(6) : reference;
}

std::string blockFileReference(const nlohmann::json& block) {
    if (!block.is_object()) return std::string();
    const auto source = block.find("source");
    if (source == block.end() || !source->is_object()) return std::string();
    const auto file = source->find("file");
    if (file == source->end()) return std::string();
    if (!file->is_string()) throw badRequest("invalid file reference: " + file->dump());
    return file->get<std::string>();
}

std::vector<uint8_t> loadFileReference(FileRefContext& context, const std::string& name,
                                       const std::string& reference) {
    try {
        if (!context.opened) {
            StorageKey fresh = context.mivrel.fileStore.open(context.bearerToken, false);
            context.key = fresh;
            wipeKey(fresh);
            context.opened = true;
        }
        return context.mivrel.fileStore.read(name, context.key);
    } catch (const FileStoreException& e) {
        throw fromStoreFailure(e, reference);
    }
}

std::vector<uint8_t> loadImageReference(FileRefContext& context, const nlohmann::json& block) {
    return loadMediaReference(context, block, {"image/png", "image/jpeg"}, "image blocks support PNG and JPEG only: ");
}

std::vector<uint8_t> loadAudioReference(FileRefContext& context, const nlohmann::json& block) {
    return loadMediaReference(context, block, {"audio/wav", "audio/mpeg", "audio/flac"},
                              "audio blocks support WAV, MP3 and FLAC only: ");
}

std::string documentBlockText(FileRefContext& context, const nlohmann::json& block) {
    const std::string type = blockType(block);
    const std::string reference = blockFileReference(block);
    const std::string name = stripFilesPrefix(reference);
    if (type == "image") {
        throw badRequest("image blocks are not supported here (use them in /messages with a vision model): " +
                         reference);
    }
    if (type == "audio") {
        throw badRequest("audio blocks are not supported here (use them in /messages with an audio model): " +
                         reference);
    }
    if (!isValidFileName(name)) throw badRequest("invalid file reference: " + reference);
    const std::string mime = mimeTypeOfFile(name);
    if (!startsWith(mime, "text/") && mime != "application/json") {
        throw badRequest("document blocks support text files only (txt/md/csv/json): " + reference + " (" + mime +
                         ")");
    }
    const std::vector<uint8_t> bytes = loadFileReference(context, name, reference);
    if (bytes.size() > kMaxDocumentBytes) {
        throw badRequest("document is too large (max " + std::to_string(kMaxDocumentBytes / 1024) +
                         "KB): " + reference);
    }
    std::string text(bytes.begin(), bytes.end());
    if (!isValidUtf8(text)) throw badRequest("not UTF-8 text: " + reference);
    if (text.size() > kMaxInlinedDocumentBytes - context.inlinedDocumentBytes) {
        throw badRequest("documents in one request are too large in total (max " +
                         std::to_string(kMaxInlinedDocumentBytes / 1024) + "KB): " + reference);
    }
    context.inlinedDocumentBytes += text.size();
    return "[첨부 파일: " + name + "]\n" + text + "\n[첨부 끝]";
}
