#include "web/static_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <any>
#include <filesystem>
#include <mutex>
#include <unordered_map>

#include "base/logger.h"
#include "net/http_request_handler.h"
#include "web/sst_processor.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kFileChunkBytes = 64 * 1024;

struct PageCache {
    std::mutex mutex;
    std::unordered_map<std::string, std::vector<uint8_t>> pages;
};

PageCache& pageCache() {
    static PageCache cache;
    return cache;
}

// The request path below the public path, or false when it is not below it.
// The public path matches whole components: "/web" covers "/web" and
// "/web/x", not "/website".
bool relativeToPublicPath(const std::string& path, const std::string& publicPath, std::string* relative) {
    if (path.compare(0, publicPath.size(), publicPath) != 0) return false;
    std::string rest = path.substr(publicPath.size());
    const bool boundary = publicPath.empty() || publicPath.back() == '/' || rest.empty() || rest[0] == '/';
    if (!boundary) return false;
    if (rest.empty() || rest == "/") rest = "/index.html";
    *relative = rest;
    return true;
}

// Writes the regular file at `path` as the body of a whole response, in
// bounded pieces. A file that cannot be opened gives an empty body, sent by
// the caller. A file that shrinks while it is sent ends the connection after
// this reply, since the promised length cannot be kept.
void streamFile(HttpRequestHandler& handler, const std::string& path, Response& response) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(size, kFileChunkBytes)));
    try {
        handler.beginBody(response, size);
        uint64_t sent = 0;
        while (sent < size) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(size - sent, buffer.size()));
            const ssize_t got = ::read(fd, buffer.data(), want);
            if (got <= 0) {
                logMessage(2, "[web] %s became shorter while it was sent", path.c_str());
                handler.closeAfterReply();
                break;
            }
            handler.writeBody(buffer.data(), static_cast<size_t>(got));
            sent += static_cast<uint64_t>(got);
        }
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
}

}  // namespace

const char* contentTypeForExtension(const std::string& extension) {
    static const std::unordered_map<std::string, const char*> table = {
        {".html", "text/html; charset=utf-8"},
        {".htm", "text/html; charset=utf-8"},
        {".css", "text/css"},
        {".js", "application/javascript"},
        {".mjs", "application/javascript"},
        {".json", "application/json"},
        {".png", "image/png"},
        {".jpg", "image/jpeg"},
        {".jpeg", "image/jpeg"},
        {".gif", "image/gif"},
        {".svg", "image/svg+xml"},
        {".ico", "image/x-icon"},
        {".woff", "font/woff"},
        {".woff2", "font/woff2"},
        {".txt", "text/plain; charset=utf-8"},
    };
    const auto it = table.find(extension);
    return it == table.end() ? "application/octet-stream" : it->second;
}

bool pathInsideRoot(const std::string& path, const std::string& root) {
    const fs::path file(path);
    const fs::path base(root);
    auto f = file.begin();
    for (auto b = base.begin(); b != base.end(); ++b, ++f) {
        // A trailing separator of the root shows as one empty last component.
        if (b->empty() && std::next(b) == base.end()) break;
        if (f == file.end() || *f != *b) return false;
    }
    return true;
}

void cacheRenderedPage(const std::string& key, const std::vector<uint8_t>& bytes) {
    PageCache& cache = pageCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    cache.pages[key] = bytes;
}

void serveStaticFile(HttpRequestHandler& handler, const Request& request, Response& response) {
    const std::string& path = request.path;
    // The system calls below end a name at a NUL: "/x/\0../../secret" would
    // be checked whole and then opened as "/x/".
    if (path.find('\0') != std::string::npos) throw HttpBadRequestException("NUL byte in path");
    std::string relative;
    if (!relativeToPublicPath(path, handler.publicPath(), &relative)) {
        logMessage(9, "public path 가 일치 하지 않습니다. %s %s", path.c_str(), handler.publicPath().c_str());
        throw HttpNotFoundException("File not found: " + path);
    }
    const std::string key = relative;
    const fs::path root = fs::current_path() / handler.webRoot();
    const fs::path file = root / (relative[0] == '/' ? relative.substr(1) : relative);

    std::string canonicalFile;
    try {
        const std::string canonicalRoot = fs::canonical(root).string();
        canonicalFile = fs::canonical(file).string();
        if (!pathInsideRoot(canonicalFile, canonicalRoot)) throw HttpForbiddenException("Access denied: " + path);
    } catch (const HttpForbiddenException&) {
        throw;
    } catch (const std::exception& e) {
        logMessage(9, "%s 파일 엑세스중에 예외 에러 발생 -> %s", file.string().c_str(), e.what());
        throw HttpNotFoundException("File not found: " + path);
    } catch (...) {
        logMessage(9, "%s 파일 엑세스 중에 기타 에러 ", path.c_str());
        throw HttpNotFoundException("File not found: " + path);
    }

    const std::string extension = file.extension().string();
    const char* contentType = contentTypeForExtension(extension);
    response.status = 200;
    response.reason = "OK";
    // No page of ours is framed, and another site must not frame one: its
    // buttons act with this server's origin.
    response.headers["X-Frame-Options"] = "DENY";
    response.headers["Content-Security-Policy"] = "frame-ancestors 'none'";

    {
        PageCache& cache = pageCache();
        std::unique_lock<std::mutex> lock(cache.mutex);
        const auto hit = cache.pages.find(key);
        if (hit != cache.pages.end()) {
            std::vector<uint8_t> bytes = hit->second;
            lock.unlock();
            response.headers["Content-Type"] = contentType;
            response.setBody(bytes);
            return;
        }
    }

    std::error_code ec;
    if (!fs::exists(canonicalFile, ec)) {
        logMessage(9, "%s 이 존재하지 않음", file.string().c_str());
        throw HttpNotFoundException("File not found: " + path);
    }

    response.headers["Content-Type"] = contentType;
    if (extension == ".html" || extension == ".htm") {
        SSTProcessor* sst = handler.mutableAttribute<SSTProcessor>("sst");
        if (!sst) throw HttpNotFoundException("bad handler : thereis no sst");
        const bool* enableCache = handler.attribute<bool>("enable_cache");
        if (!enableCache) throw std::bad_any_cast();
        sst->setVariable("DEBUG_CHAT", "1");
        const std::string page = sst->process(file.string());
        const std::vector<uint8_t> body(page.begin(), page.end());
        if (*enableCache) cacheRenderedPage(key, body);
        response.setBody(body);
        return;
    }
    if (fs::is_regular_file(canonicalFile, ec)) {
        streamFile(handler, canonicalFile, response);
        if (handler.responseSent()) return;
    }
    response.setBody(std::vector<uint8_t>());
}
