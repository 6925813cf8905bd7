#include "api/files_api.h"

#include <algorithm>
#include <memory>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/logger.h"
#include "engine/mivrel_manager.h"
#include "mgmt/service_context.h"
#include "net/router.h"
#include "storage/file_store.h"
#include "storage/mime_types.h"
#include "storage/storage_format.h"

namespace {

// Downloads are read from the store and sent in pieces of this size.
constexpr uint64_t kDownloadPiece = 1024 * 1024;

std::string tooLargeMessage() {
    return "file too large (max " + std::to_string(kMaxUploadBytes / (1024 * 1024)) + "MB)";
}

// Pretty JSON with status 200.
void sendJson(HttpRequestHandler& handler, Response& response, const nlohmann::ordered_json& document) {
    response.status = 200;
    response.reason = reasonPhrase(200);
    response.headers["Content-Type"] = "application/json";
    response.setBody(document.dump(2));
    handler.sendResponse(response);
}

void upload(HttpRequestHandler& handler, const Request& request, Response& response, Mivrel& mivrel,
            const std::string& token) {
    if (request.body.empty()) return sendJsonError(handler, response, 400, "bad_request", "empty body");
    if (request.body.size() > kMaxUploadBytes) {
        return sendJsonError(handler, response, 400, "bad_request", tooLargeMessage());
    }
    const std::string contentType = request.header("Content-Type");
    const std::string extension = normalizeMimeType(contentType);
    if (extension.empty()) {
        return sendJsonError(handler, response, 400, "bad_request", "unsupported Content-Type: " + contentType);
    }
    // Opening and saving in one hold of the store, so an unload that empties
    // it cannot fall between them.
    const std::string name = mivrel.fileStore.openAndSaveGeneratedFile(token, "upload", extension,
                                                                       std::span<const uint8_t>(request.body));
    logMessage(4, "[files] 업로드 %s/%s (%zu bytes)", mivrel.config.id.c_str(), name.c_str(), request.body.size());
    nlohmann::ordered_json document = nlohmann::ordered_json::object();
    document["mivrelId"] = mivrel.config.id;
    document["file"] = fileReference(name);
    document["size"] = static_cast<uint64_t>(request.body.size());
    document["mime"] = mimeTypeOfFile(name);
    sendJson(handler, response, document);
}

void list(HttpRequestHandler& handler, Response& response, Mivrel& mivrel, const std::string& token) {
    // Opening checks the Bearer key of an encrypted store; the listing
    // itself needs no key.
    const std::vector<StoredFileInfo> stored =
        mivrel.fileStore.withOpenStore(token, false, [&](const StorageKey&) { return mivrel.fileStore.list(); });
    nlohmann::ordered_json files = nlohmann::ordered_json::array();
    for (const StoredFileInfo& info : stored) {
        nlohmann::ordered_json entry = nlohmann::ordered_json::object();
        entry["name"] = info.name;
        entry["size"] = info.size;
        entry["mime"] = info.contentType;
        entry["createdAt"] = info.timeMs;
        files.push_back(std::move(entry));
    }
    nlohmann::ordered_json document = nlohmann::ordered_json::object();
    document["mivrelId"] = mivrel.config.id;
    document["files"] = std::move(files);
    sendJson(handler, response, document);
}

// What a download found in one hold of the store: the file's status, the
// range to send and its first piece.
struct DownloadStart {
    bool found = false;
    StoredFileInfo info;
    int range = 0;  // parseRangeHeader's result, 0 without a Range header
    uint64_t start = 0;
    uint64_t end = 0;
    Bytes firstPiece;
    StorageKey key;  // for the pieces after the first
};

// Sends bytes [from, from + length) of the file, the first piece already
// read: the head, then pieces of at most kDownloadPiece bytes read as they
// are sent, so a download never holds more than one piece in memory. A store
// failure after the head has gone out can only end the connection.
void streamFile(HttpRequestHandler& handler, Response& response, Mivrel& mivrel, const std::string& name,
                DownloadStart& found, uint64_t from, uint64_t length) {
    handler.beginBody(response, length);
    uint64_t sent = 0;
    Bytes piece = std::move(found.firstPiece);
    for (;;) {
        handler.writeBody(piece.data(), piece.size());
        sent += piece.size();
        if (sent >= length) break;
        try {
            piece = mivrel.fileStore.readRange(name, from + sent, std::min<uint64_t>(kDownloadPiece, length - sent),
                                               found.key);
        } catch (const FileStoreException& e) {
            logMessage(2, "[files] 다운로드 중단 %s/%s: %s", mivrel.config.id.c_str(), name.c_str(), e.what());
            piece.clear();
        }
        if (piece.empty()) {
            handler.closeAfterReply();
            break;
        }
    }
    wipeKey(found.key);
}

void download(HttpRequestHandler& handler, const Request& request, Response& response, Mivrel& mivrel,
              const std::string& token, const std::string& method, const std::string& name) {
    if (!isValidFileName(name)) {
        return sendJsonError(handler, response, 400, "bad_request", "invalid file name: " + name);
    }
    const std::string rangeHeader = method == "GET" ? request.header("Range") : std::string();
    // Opening, the file's status and its first piece in one hold of the
    // store, so an unload that empties it cannot fall between them.
    DownloadStart found = mivrel.fileStore.withOpenStore(token, false, [&](const StorageKey& key) {
        DownloadStart start;
        if (!key.valid || !mivrel.fileStore.stat(name, start.info)) return start;
        start.found = true;
        if (!rangeHeader.empty()) start.range = parseRangeHeader(rangeHeader, start.info.size, start.start, start.end);
        if (start.range < 0) return start;
        if (start.range == 0) {
            start.start = 0;
            start.end = start.info.size == 0 ? 0 : start.info.size - 1;
        }
        if (start.info.size > 0) {
            const uint64_t length = start.end - start.start + 1;
            start.firstPiece =
                mivrel.fileStore.readRange(name, start.start, std::min<uint64_t>(kDownloadPiece, length), key);
        }
        start.key = key;
        return start;
    });
    if (!found.found) {
        return sendJsonError(handler, response, 404, "file_not_found", "file not found: " + name);
    }
    response.headers["Content-Type"] = mimeTypeOfFile(name);
    response.headers["Content-Disposition"] = "inline; filename=\"" + name + "\"";
    response.headers["Accept-Ranges"] = "bytes";
    const std::string size = std::to_string(found.info.size);
    if (found.range < 0) {
        response.status = 416;
        response.reason = reasonPhrase(416);
        response.headers["Content-Range"] = "bytes */" + size;
        response.setBody(std::string());
        return handler.sendResponse(response);
    }
    if (found.range > 0) {
        response.status = 206;
        response.reason = reasonPhrase(206);
        response.headers["Content-Range"] =
            "bytes " + std::to_string(found.start) + "-" + std::to_string(found.end) + "/" + size;
        return streamFile(handler, response, mivrel, name, found, found.start, found.end - found.start + 1);
    }
    response.status = 200;
    response.reason = reasonPhrase(200);
    streamFile(handler, response, mivrel, name, found, 0, found.info.size);
}

void remove(HttpRequestHandler& handler, Response& response, Mivrel& mivrel, const std::string& token,
            const std::string& name) {
    const bool removed = mivrel.fileStore.withOpenStore(
        token, false, [&](const StorageKey& key) { return mivrel.fileStore.remove(name, key); });
    if (!removed) return sendJsonError(handler, response, 404, "file_not_found", "File not found: " + name);
    logMessage(4, "[files] 삭제 %s/%s", mivrel.config.id.c_str(), name.c_str());
    nlohmann::ordered_json document = nlohmann::ordered_json::object();
    document["ok"] = true;
    document["mivrelId"] = mivrel.config.id;
    document["file"] = fileReference(name);
    sendJson(handler, response, document);
}

// Digits only, 1 to 18 of them (an empty text is handled by the caller).
bool parseDigits(const std::string& text, uint64_t& value) {
    if (text.empty() || text.size() > 18) return false;
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

std::string trimSpaces(const std::string& text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

}  // namespace

int parseRangeHeader(const std::string& value, uint64_t size, uint64_t& start, uint64_t& end) {
    static const std::string kPrefix = "bytes=";
    if (value.compare(0, kPrefix.size(), kPrefix) != 0) return 0;
    std::string spec = value.substr(kPrefix.size());
    spec = spec.substr(0, spec.find(','));
    const size_t dash = spec.find('-');
    if (spec.empty() || dash == std::string::npos) return 0;
    const std::string first = trimSpaces(spec.substr(0, dash));
    const std::string last = trimSpaces(spec.substr(dash + 1));
    if (first.empty()) {
        uint64_t suffix = 0;
        if (!parseDigits(last, suffix)) return 0;
        if (suffix == 0 || size == 0) return -1;
        start = suffix < size ? size - suffix : 0;
        end = size - 1;
        return 1;
    }
    uint64_t from = 0;
    uint64_t to = 0;
    if (!parseDigits(first, from)) return 0;
    if (!last.empty() && !parseDigits(last, to)) return 0;
    if (from >= size) return -1;
    if (last.empty()) to = size - 1;
    if (to < from) return 0;
    if (to >= size) to = size - 1;
    start = from;
    end = to;
    return 1;
}

namespace {

const char kPlainStoreMessage[] =
    "This mivrel requires an encrypted storage, but its storage holds plain data; empty the storage to have it "
    "re-created encrypted.";

}  // namespace

void sendFileStoreError(HttpRequestHandler& handler, Response& response, const FileStoreException& error) {
    switch (error.kind()) {
        case FileStoreException::kInvalidName:
            return sendJsonError(handler, response, 400, "bad_request", error.what());
        case FileStoreException::kNotFound:
            return sendJsonError(handler, response, 404, "file_not_found", error.what());
        case FileStoreException::kKeyRequired:
            return sendJsonError(handler, response, 401, "storage_key_required",
                                 "This mivrel's storage is encrypted; send the Authorization: Bearer key.");
        case FileStoreException::kKeyMismatch:
            return sendJsonError(handler, response, 403, "storage_key_mismatch",
                                 "The Bearer key does not match the key this mivrel's storage was encrypted with.");
        case FileStoreException::kPlainStore:
            return sendJsonError(handler, response, 409, "storage_not_encrypted", kPlainStoreMessage);
        default:
            logMessage(1, "[files] 저장소 오류: %s", error.what());
            return sendJsonError(handler, response, 500, "internal_error", error.what());
    }
}

void handleFiles(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                 Response& response, const std::string& method, const std::string& id, const std::string& name) {
    // Shared ownership keeps the instance alive while its files are served,
    // even when it is deleted meanwhile.
    const std::shared_ptr<Mivrel> mivrel = services.findMivrel(id);
    if (!mivrel) return sendJsonError(handler, response, 404, "mivrel_not_found", "Mivrel not found: " + id);
    const std::string token = bearerToken(request);
    try {
        if (method == "POST" && name.empty()) return upload(handler, request, response, *mivrel, token);
        if ((method == "GET" || method == "POST") && !name.empty()) {
            return download(handler, request, response, *mivrel, token, method, name);
        }
        if (method == "GET") return list(handler, response, *mivrel, token);
        if (method == "DELETE" && !name.empty()) return remove(handler, response, *mivrel, token, name);
    } catch (const FileStoreException& e) {
        // A download may have named its file already.
        for (const char* header : {"Content-Disposition", "Accept-Ranges", "Content-Range"}) {
            response.headers.erase(header);
        }
        return sendFileStoreError(handler, response, e);
    }
    sendJsonError(handler, response, 400, "bad_request", "unsupported method for files API: " + method);
}

BodyLimitRule filesBodyLimit(const Request& head) {
    std::string id;
    std::string name;
    if (head.method != "POST" || !parseFilesPath(head.path, &id, &name) || !name.empty()) return BodyLimitRule{};
    return BodyLimitRule{kMaxUploadBytes, 400, "bad_request", tooLargeMessage()};
}
