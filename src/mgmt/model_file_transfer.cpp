#include "mgmt/model_file_transfer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <vector>

#include "base/logger.h"
#include "config/server_config.h"
#include "mgmt/http_answer_head.h"
#include "mgmt/https_client.h"
#include "mgmt/model_download_jobs.h"
#include "mgmt/tls_client.h"
#include "platform/file_io.h"
#include "platform/volume_space.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kBlockBytes = 65536;
constexpr size_t kMaxHeadBytes = 64 * 1024;
// How often a growing file is checked against the free-space reserve.
constexpr int64_t kFreeSpaceCheckBytes = 4 << 20;

// The destination file, closed (and its close checked) by its owner.
class OutputFile {
public:
    OutputFile(const std::string& path, bool append) : path_(path) {
        file_ = openStreamCloexec(path, append ? "ab" : "wb");
        if (!file_) throw std::runtime_error("failed to open file: " + path);
        std::setvbuf(file_, nullptr, _IOFBF, 1 << 20);
    }
    ~OutputFile() {
        if (file_) std::fclose(file_);
    }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void write(const char* data, size_t size) {
        if (size > 0 && std::fwrite(data, 1, size, file_) != size) fail();
    }
    void close() {
        if (!file_) return;
        FILE* file = file_;
        file_ = nullptr;
        if (std::fclose(file) != 0) fail();
    }

private:
    [[noreturn]] void fail() { throw std::runtime_error("failed to write file: " + path_ + " (" + std::strerror(errno) + ")"); }

    std::string path_;
    FILE* file_ = nullptr;
};

struct Progress {
    ModelDownloadTable& downloads;
    std::string modelId;
    int64_t fileSize;
    int64_t bytesBefore;
    int64_t totalBytes;
    Clock::time_point start;
};

// Updates the job entry and tells whether its stop was requested.
bool publishProgress(const Progress& p, int64_t rangeBase, int64_t bytesThisCall) {
    std::lock_guard<std::mutex> lock(p.downloads.mutex);
    const auto it = p.downloads.jobs.find(p.modelId);
    if (it == p.downloads.jobs.end()) return false;
    ModelDownloadJob& job = it->second;
    job.bytesDownloaded = p.bytesBefore + rangeBase + bytesThisCall;
    const int64_t denominator = p.totalBytes > 0 ? p.totalBytes : p.fileSize;
    // A file of undeclared size among declared ones can carry the count past
    // the total: the percentage stays a percentage.
    if (denominator > 0)
        job.progressPercent = std::min(100.0, static_cast<double>(job.bytesDownloaded) / denominator * 100.0);
    const int64_t elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - p.start).count();
    if (elapsed > 0) job.speedBytesPerSec = bytesThisCall * 1000 / elapsed;
    return job.stopRequested;
}

bool stopRequested(ModelDownloadTable& downloads, const std::string& modelId) {
    std::lock_guard<std::mutex> lock(downloads.mutex);
    const auto it = downloads.jobs.find(modelId);
    return it != downloads.jobs.end() && it->second.stopRequested;
}

std::string fileNameOf(const std::string& path) { return std::filesystem::path(path).filename().string(); }

// Checks the answer's head against the request. Returns the offset the body
// starts at in the file (startOffset for a matching 206, 0 for a 200).
int64_t acceptedBodyOffset(const HttpAnswerHead& head, int64_t startOffset, const std::string& name,
                           int64_t* bodyLength) {
    if (!head.transferEncoding.empty()) {
        throw std::runtime_error("chunked transfer encoding is not supported: " + name);
    }
    *bodyLength = head.contentLength;
    if (head.status == 200) return 0;
    if (head.status == 206) {
        int64_t first = 0;
        int64_t last = 0;
        int64_t total = 0;
        if (!parseContentRange(head.contentRange, &first, &last, &total) || first != startOffset) {
            throw std::runtime_error("unexpected range from the server for " + name + ": asked from " +
                                     std::to_string(startOffset) + ", got \"" + head.contentRange + "\"");
        }
        const int64_t rangeLength = last - first + 1;
        if (head.contentLength >= 0 && head.contentLength != rangeLength) {
            throw std::runtime_error("Content-Length does not match Content-Range for " + name);
        }
        *bodyLength = rangeLength;
        return startOffset;
    }
    throw std::runtime_error("download of " + name + " failed: " + head.statusLine);
}

std::string sizeMismatch(const std::string& name, int64_t fileSize, const std::string& actual) {
    return "파일 크기 불일치: " + name + " (expected=" + std::to_string(fileSize) + " actual=" + actual + ")";
}

// Fails unless the models volume keeps its reserve after `needed` more
// bytes. An unknown volume size is not checked.
void checkFreeSpace(const std::string& folder, const std::string& name, int64_t needed) {
    const VolumeSpace space = queryVolumeSpace(folder);
    if (!space.known) return;
    const uint64_t reserve = modelsFreeSpaceReserveBytes();
    const uint64_t wanted = static_cast<uint64_t>(std::max<int64_t>(needed, 0)) + reserve;
    if (space.availableBytes >= wanted) return;
    throw std::runtime_error("not enough free space on the models volume for " + name + ": " +
                             std::to_string(needed) + " bytes to write, " + std::to_string(space.availableBytes) +
                             " available, " + std::to_string(reserve) + " kept free");
}

}  // namespace

uint64_t modelsFreeSpaceReserveBytes() {
    return static_cast<uint64_t>(ServerConfig::MODELS_FREE_SPACE_RESERVE_MB) << 20;
}

void downloadModelFile(ModelDownloadTable& downloads, const std::string& url, const std::string& bearerToken,
                       const std::string& destination, const std::string& modelId, int64_t fileSize,
                       int64_t startOffset, int64_t bytesBefore, int64_t totalBytes) {
    const std::string name = fileNameOf(destination);
    const ParsedUrl target = parseUrl(url);
    TlsClientOptions options;
    options.connectTimeoutMs = 10000;
    options.ioTimeoutMs = 30000;
    options.totalTimeoutMs = 0;  // model files take as long as they take
    options.cancelled = [&downloads, &modelId] { return stopRequested(downloads, modelId); };

    Progress progress{downloads, modelId, fileSize, bytesBefore, totalBytes, Clock::now()};
    std::vector<char> block(kBlockBytes);
    try {
        TlsConnection connection(target.host, target.port, options);
        connection.writeAll(buildGetRequest(target.host, target.path, bearerToken, startOffset));

        // The head, gathered until its blank line.
        std::string head;
        size_t headEnd = std::string::npos;
        while (headEnd == std::string::npos) {
            const size_t n = connection.read(block.data(), block.size());
            if (n == 0) {
                throw std::runtime_error("download of " + name + " failed: the server closed before its answer's head");
            }
            head.append(block.data(), n);
            headEnd = head.find("\r\n\r\n");
            if (headEnd == std::string::npos && head.size() > kMaxHeadBytes) {
                throw std::runtime_error("download of " + name + " failed: answer head too large");
            }
            if (publishProgress(progress, startOffset, 0)) throw std::runtime_error(kTransferCancelled);
        }
        HttpAnswerHead answer;
        std::string error;
        if (!parseHttpAnswerHead(head.substr(0, headEnd), &answer, &error)) {
            throw std::runtime_error("download of " + name + " failed: " + error);
        }
        int64_t bodyLength = -1;
        const int64_t rangeBase = acceptedBodyOffset(answer, startOffset, name, &bodyLength);
        if (startOffset > 0 && rangeBase == 0) {
            logMessage(2, "[mgmt] 서버가 Range 요청 무시(%s) — 처음부터 재다운로드: %s", answer.statusLine.c_str(),
                       modelId.c_str());
        }
        // The file never grows past the size the catalogue declares (or the
        // cap of a file without one), whatever the server announces or sends.
        const int64_t limit = fileSize > 0 ? fileSize : kMaxUndeclaredModelFileBytes;
        const int64_t allowed = std::max<int64_t>(0, limit - rangeBase);
        const auto tooLong = [&](const std::string& actual) {
            return fileSize > 0 ? sizeMismatch(name, fileSize, actual)
                                : "model file larger than " + std::to_string(limit) + " bytes: " + name;
        };
        if (bodyLength > allowed) throw std::runtime_error(tooLong(std::to_string(rangeBase + bodyLength)));
        const std::string folder = std::filesystem::path(destination).parent_path().string();
        std::filesystem::create_directories(folder);
        checkFreeSpace(folder, name, bodyLength >= 0 ? bodyLength : fileSize > 0 ? allowed : 0);

        OutputFile file(destination, rangeBase > 0);
        int64_t received = 0;
        int64_t checkedAt = 0;
        auto take = [&](const char* data, size_t size) {
            if (bodyLength >= 0) size = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(size), bodyLength - received));
            if (received + static_cast<int64_t>(size) > allowed) {
                // What fits is a correct part of the file; the rest is not.
                file.write(data, static_cast<size_t>(allowed - received));
                file.close();
                throw std::runtime_error(tooLong("more than " + std::to_string(limit)));
            }
            file.write(data, size);
            received += static_cast<int64_t>(size);
            // A body of unknown length is checked against the reserve as it
            // grows.
            if (received - checkedAt >= kFreeSpaceCheckBytes) {
                checkedAt = received;
                try {
                    checkFreeSpace(folder, name, 0);
                } catch (...) {
                    file.close();
                    throw;
                }
            }
        };
        take(head.data() + headEnd + 4, head.size() - headEnd - 4);
        head.clear();
        head.shrink_to_fit();
        if (publishProgress(progress, rangeBase, received)) {
            file.close();
            throw std::runtime_error(kTransferCancelled);
        }
        while (bodyLength < 0 || received < bodyLength) {
            size_t n = 0;
            try {
                n = connection.read(block.data(), block.size());
            } catch (...) {
                file.close();  // what arrived is a correct part of the file
                throw;
            }
            if (n == 0) break;
            take(block.data(), n);
            if (publishProgress(progress, rangeBase, received)) {
                file.close();
                throw std::runtime_error(kTransferCancelled);
            }
        }
        file.close();
        if (bodyLength >= 0 && received < bodyLength) {
            throw std::runtime_error("transfer truncated: " + name + " (" + std::to_string(received) + " of " +
                                     std::to_string(bodyLength) + " bytes)");
        }
    } catch (const TlsCancelled&) {
        throw std::runtime_error(kTransferCancelled);
    }
}
