#include "api/files_api.h"

#include <memory>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/json_parse.h"
#include "app/logger.h"
#include "engine/mivrel_manager.h"
#include "net/router.h"
#include "storage/file_store.h"
#include "storage/mime_types.h"
#include "storage/storage_format.h"

namespace {

// Path segments and headers arrive as raw bytes; the JSON error document
// cannot carry malformed UTF-8, so such bytes are shown as U+FFFD instead of
// turning a client's mistake into a server error.
std::string jsonSafe(const std::string& text) {
    const nlohmann::json value(text);
    try {
        (void)value.dump();
        return text;
    } catch (const nlohmann::json::type_error&) {
        return parseJson(value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))
            .get<std::string>();
    }
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
        return sendJsonError(handler, response, 400, "bad_request",
                             "file too large (max " + std::to_string(kMaxUploadBytes / (1024 * 1024)) + "MB)");
    }
    const std::string contentType = request.header("Content-Type");
    const std::string extension = normalizeMimeType(contentType);
    if (extension.empty()) {
        return sendJsonError(handler, response, 400, "bad_request", "unsupported Content-Type: " + jsonSafe(contentType));
    }
    std::string name;
    {
        StorageKey key = mivrel.fileStore.open(token, true);
        name = mivrel.fileStore.saveGeneratedFile("upload", extension, std::span<const uint8_t>(request.body), key);
    }
    logMessage(4, "[files] 업로드 %s/%s (%zu bytes)", mivrel.config.id.c_str(), name.c_str(), request.body.size());
    nlohmann::ordered_json document = nlohmann::ordered_json::object();
    document["mivrelId"] = mivrel.config.id;
    document["file"] = fileReference(name);
    document["size"] = static_cast<uint64_t>(request.body.size());
    document["mime"] = mimeTypeOfFile(name);
    sendJson(handler, response, document);
}

void list(HttpRequestHandler& handler, Response& response, Mivrel& mivrel, const std::string& token) {
    {
        // Opening checks the Bearer key of an encrypted store; the listing
        // itself needs no key.
        StorageKey key = mivrel.fileStore.open(token, false);
        wipeKey(key);
    }
    nlohmann::ordered_json files = nlohmann::ordered_json::array();
    for (const StoredFileInfo& info : mivrel.fileStore.list()) {
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

void download(HttpRequestHandler& handler, const Request& request, Response& response, Mivrel& mivrel,
              const std::string& token, const std::string& method, const std::string& name) {
    if (!isValidFileName(name)) {
        return sendJsonError(handler, response, 400, "bad_request", "invalid file name: " + jsonSafe(name));
    }
    StorageKey key = mivrel.fileStore.open(token, false);
    StoredFileInfo info;
    if (!key.valid || !mivrel.fileStore.stat(name, info)) {
        return sendJsonError(handler, response, 404, "file_not_found", "file not found: " + jsonSafe(name));
    }
    response.headers["Content-Type"] = mimeTypeOfFile(name);
    response.headers["Content-Disposition"] = "inline; filename=\"" + name + "\"";
    response.headers["Accept-Ranges"] = "bytes";
    const std::string size = std::to_string(info.size);
    const std::string range = method == "GET" ? request.header("Range") : std::string();
    if (!range.empty()) {
        uint64_t start = 0;
        uint64_t end = 0;
        const int parsed = parseRangeHeader(range, info.size, start, end);
        if (parsed < 0) {
            wipeKey(key);
            response.status = 416;
            response.reason = reasonPhrase(416);
            response.headers["Content-Range"] = "bytes */" + size;
            response.setBody(std::string());
            return handler.sendResponse(response);
        }
        if (parsed > 0) {
            const Bytes part = mivrel.fileStore.readRange(name, start, end - start + 1, key);
            wipeKey(key);
            response.status = 206;
            response.reason = reasonPhrase(206);
            response.headers["Content-Range"] =
                "bytes " + std::to_string(start) + "-" + std::to_string(end) + "/" + size;
            response.setBody(part);
            return handler.sendResponse(response);
        }
    }
    const Bytes whole = mivrel.fileStore.read(name, key);
    wipeKey(key);
    response.status = 200;
    response.reason = reasonPhrase(200);
    response.setBody(whole);
    handler.sendResponse(response);
}

void remove(HttpRequestHandler& handler, Response& response, Mivrel& mivrel, const std::string& token,
            const std::string& name) {
    bool removed = false;
    {
        StorageKey key = mivrel.fileStore.open(token, false);
        removed = mivrel.fileStore.remove(name, key);
    }
    if (!removed) return sendJsonError(handler, response, 404, "file_not_found", "File not found: " + jsonSafe(name));
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

void sendFileStoreError(HttpRequestHandler& handler, Response& response, const FileStoreException& error) {
    switch (error.kind()) {
        case FileStoreException::kInvalidName:
            return sendJsonError(handler, response, 400, "bad_request", jsonSafe(error.what()));
        case FileStoreException::kNotFound:
            return sendJsonError(handler, response, 404, "file_not_found", jsonSafe(error.what()));
        case FileStoreException::kKeyRequired:
            return sendJsonError(handler, response, 401, "storage_key_required",
                                 "This mivrel's storage is encrypted; send the Authorization: Bearer key.");
        case FileStoreException::kKeyMismatch:
            return sendJsonError(handler, response, 403, "storage_key_mismatch",
                                 "The Bearer key does not match the key this mivrel's storage was encrypted with.");
        default:
            logMessage(1, "[files] 저장소 오류: %s", error.what());
            return sendJsonError(handler, response, 500, "internal_error", jsonSafe(error.what()));
    }
}

void handleFiles(HttpRequestHandler& handler, const Request& request, Response& response, const std::string& method,
                 const std::string& id, const std::string& name) {
    // Shared ownership keeps the instance alive while its files are served,
    // even when it is deleted meanwhile.
    const std::shared_ptr<Mivrel> mivrel = gMivrelManager ? gMivrelManager->find(id) : nullptr;
    if (!mivrel) return sendJsonError(handler, response, 404, "mivrel_not_found", "Mivrel not found: " + jsonSafe(id));
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
    sendJsonError(handler, response, 400, "bad_request", "unsupported method for files API: " + jsonSafe(method));
}

uint64_t filesBodyLimit(const Request& head) {
    if (head.method != "POST") return 0;
    std::string id;
    std::string name;
    return parseFilesPath(head.path, &id, &name) && name.empty() ? kMaxUploadBytes : 0;
}
