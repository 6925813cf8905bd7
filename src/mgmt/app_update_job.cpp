#include "mgmt/app_update_job.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <vector>

#include "base/logger.h"
#include "mgmt/tls_client.h"
#include "mgmt/app_update_jobs.h"
#include "mgmt/file_digest.h"
#include "mgmt/http_answer_head.h"
#include "mgmt/https_client.h"
#include "platform/file_io.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kBlockBytes = 65536;
constexpr size_t kMaxHeadBytes = 64 * 1024;

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

std::string fileNameOf(const std::string& path) { return fs::path(path).filename().string(); }

// The body's length the answer promises and the caller expects: -1 when
// neither says. Throws when they disagree.
int64_t expectedBodyLength(const HttpAnswerHead& head, int64_t expectedSize, const std::string& name) {
    if (!head.transferEncoding.empty()) {
        throw std::runtime_error("chunked transfer encoding is not supported: " + name);
    }
    if (head.status != 200) throw std::runtime_error("download of " + name + " failed: " + head.statusLine);
    if (head.contentLength >= 0 && expectedSize > 0 && head.contentLength != expectedSize) {
        throw std::runtime_error("archive size mismatch: " + name + " (Content-Length " +
                                 std::to_string(head.contentLength) + ", manifest " + std::to_string(expectedSize) +
                                 ")");
    }
    if (head.contentLength >= 0) return head.contentLength;
    return expectedSize > 0 ? expectedSize : -1;
}

}  // namespace

void downloadUpdateFile(AppUpdateTable& updates, const std::string& zipUrl, const std::string& archivePath,
                        const std::string& component, int64_t expectedSize) {
    const std::string name = fileNameOf(archivePath);
    const ParsedUrl target = parseUrl(zipUrl);
    TlsClientOptions options;
    options.connectTimeoutMs = 10000;
    options.ioTimeoutMs = 30000;
    options.totalTimeoutMs = 0;  // an archive takes as long as it takes, each wait is bounded

    TlsConnection connection(target.host, target.port, options);
    connection.writeAll(buildGetRequest(target.host, target.path, "", 0));

    std::vector<char> block(kBlockBytes);
    std::string head;
    size_t headEnd = std::string::npos;
    while (headEnd == std::string::npos) {
        const size_t n = connection.read(block.data(), block.size());
        if (n == 0) throw std::runtime_error("download of " + name + " failed: the server closed before its answer's head");
        head.append(block.data(), n);
        headEnd = head.find("\r\n\r\n");
        if (headEnd == std::string::npos && head.size() > kMaxHeadBytes) {
            throw std::runtime_error("download of " + name + " failed: answer head too large");
        }
    }
    HttpAnswerHead answer;
    std::string error;
    if (!parseHttpAnswerHead(head.substr(0, headEnd), &answer, &error)) {
        throw std::runtime_error("download of " + name + " failed: " + error);
    }
    const int64_t bodyLength = expectedBodyLength(answer, expectedSize, name);
    // The cap holds whatever the answer or the manifest announce.
    if (bodyLength > kMaxUpdateArchiveBytes) {
        throw std::runtime_error("archive larger than " + std::to_string(kMaxUpdateArchiveBytes) + " bytes: " + name +
                                 " (" + std::to_string(bodyLength) + " announced)");
    }
    const int64_t bound = bodyLength >= 0 ? bodyLength : kMaxUpdateArchiveBytes;

    fs::create_directories(fs::path(archivePath).parent_path());
    std::unique_ptr<FILE, FileCloser> file(openStreamCloexec(archivePath, "wb"));
    if (!file) throw std::runtime_error("failed to open file: " + archivePath);
    int64_t received = 0;
    auto take = [&](const char* data, size_t size) {
        if (received + static_cast<int64_t>(size) > bound) {
            throw std::runtime_error(bodyLength >= 0
                                         ? "archive size mismatch: " + name + " (more than " + std::to_string(bound) + " bytes)"
                                         : "archive larger than " + std::to_string(bound) + " bytes: " + name);
        }
        if (size > 0 && std::fwrite(data, 1, size, file.get()) != size) {
            throw std::runtime_error("failed to write file: " + archivePath + " (" + std::strerror(errno) + ")");
        }
        received += static_cast<int64_t>(size);
        setAppUpdateProgress(updates, component, received, expectedSize);
    };
    take(head.data() + headEnd + 4, head.size() - headEnd - 4);
    while (bodyLength < 0 || received < bodyLength) {
        const size_t n = connection.read(block.data(), block.size());
        if (n == 0) break;
        take(block.data(), n);
    }
    if (std::fclose(file.release()) != 0) {
        throw std::runtime_error("failed to write file: " + archivePath + " (" + std::strerror(errno) + ")");
    }
    if (bodyLength >= 0 && received != bodyLength) {
        throw std::runtime_error("archive size mismatch: " + name + " (" + std::to_string(received) + " of " +
                                 std::to_string(bodyLength) + " bytes)");
    }
}

std::string unpackAndPublish(const std::string& component, const std::string& archivePath, const UnpackLimits& limits) {
    const fs::path unpackDir = appUpdateUnpackDir(component);
    const fs::path readyDir = appUpdateReadyDirOf(component);
    if (fs::exists(fs::symlink_status(unpackDir))) fs::remove_all(unpackDir);
    extractZip(archivePath, unpackDir.string(), limits);
    fs::create_directories(appUpdateReadyDir());
    if (fs::exists(fs::symlink_status(readyDir))) fs::remove_all(readyDir);
    fs::rename(unpackDir, readyDir);
    return readyDir.string();
}

void runAppUpdateJob(std::shared_ptr<AppUpdateTable> table, std::string component, std::string targetVersion,
                     std::string zipUrl, std::string zipSha256, int64_t zipSize) {
    AppUpdateTable& updates = *table;
    const std::string archive = appUpdateArchivePath(component);
    // A failed job takes its archive with it: a broken or partial download
    // is of no use, and it may be gigabytes.
    const auto failed = [&](const std::string& message) {
        std::error_code ignored;
        fs::remove(archive, ignored);
        markAppUpdateFailed(updates, component, message);
    };
    try {
        logMessage(4, "[mgmt] 앱 업데이트 zip 다운로드 시작: component=%s version=%s", component.c_str(),
                   targetVersion.c_str());
        downloadUpdateFile(updates, zipUrl, archive, component, zipSize);

        setAppUpdateStatus(updates, component, "verifying");
        const std::string digest = sha256File(archive);
        if (zipSha256.empty()) {
            logMessage(2, "[mgmt] 앱 업데이트 manifest 에 zipSha256 없음 — 무결성 검사 생략: component=%s version=%s",
                       component.c_str(), targetVersion.c_str());
        } else if (zipSha256 != digest) {
            failed("SHA256 불일치 (expected=" + zipSha256 + " actual=" + digest + ")");
            return;
        }

        setAppUpdateStatus(updates, component, "extracting");
        const std::string readyDir = unpackAndPublish(component, archive);
        std::error_code ignored;
        fs::remove(archive, ignored);

        setAppUpdateReady(updates, component, !zipSha256.empty());
        logMessage(4, "[mgmt] 앱 업데이트 준비 완료: component=%s version=%s -> %s", component.c_str(),
                   targetVersion.c_str(), readyDir.c_str());
    } catch (const std::exception& e) {
        failed(e.what());
    } catch (...) {
        failed("unknown error");
    }
}

std::string applyLocalAppUpdate(const std::string& component, const std::string& zipPath, const std::string& sha256) {
    std::error_code ec;
    if (!fs::exists(zipPath, ec)) throw std::runtime_error("zip file not found: " + zipPath);
    const std::string digest = sha256File(zipPath);
    if (digest != sha256) {
        throw std::runtime_error("SHA256 mismatch (expected=" + sha256 + " actual=" + digest + ")");
    }
    return unpackAndPublish(component, zipPath);
}
