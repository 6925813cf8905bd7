// A TLS stand-in for the maker's web service and its model file host, on a
// loopback port inside the test process: JSON documents by exact request
// target, and files streamed from disk with byte ranges, plus the faults a
// download must survive (a 404, an ignored or wrong range, a truncated body,
// a chunked answer) and a throttle that keeps a transfer running long enough
// to pause, cancel or restart it. One thread per connection; the server
// certificate comes from TestCertificateAuthority (tls_test_server.h).
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/tls_test_server.h"

class TlsFileHost {
public:
    enum class Fault {
        kNone,
        kNotFound,      // 404 with an HTML page
        kIgnoreRange,   // always 200 with the whole file
        kWrongRange,    // a range request gets 206 starting one byte later
        kTruncateHalf,  // the full Content-Length, then the connection closes halfway
        kChunked,       // "Transfer-Encoding: chunked"
        // Hostile hosts: bodies that never end (each stops after
        // kEndlessBodyCap bytes, or when the client stops reading).
        kEndless,       // 200 without Content-Length
        kHugeLength,    // 200 with a Content-Length of 10 TB
        kHugeRange,     // a range request gets 206 whose Content-Range runs to 100 GB
    };
    static constexpr long long kEndlessBodyCap = 8ll << 30;

    explicit TlsFileHost(const PemIdentity& identity);
    ~TlsFileHost();  // closes every connection and joins its thread
    TlsFileHost(const TlsFileHost&) = delete;
    TlsFileHost& operator=(const TlsFileHost&) = delete;

    int port() const { return port_; }

    // A request for `target` (path and query exactly, any method; a body is
    // read and ignored) answers 200 with this JSON body.
    void setDocument(const std::string& target, const std::string& body);
    // GET `path` streams the file at `diskPath` ("Range: bytes=N-" answered
    // with 206), or shows `fault`.
    void setFile(const std::string& path, const std::string& diskPath, Fault fault = Fault::kNone);
    void setFault(const std::string& path, Fault fault);
    // After each `chunkBytes` of a file body, sleep `delayMs` (0: full speed).
    // Takes effect on running transfers.
    void setThrottle(int delayMs, size_t chunkBytes = 16 * 1024);

    // The request heads received, in order.
    std::vector<std::string> requests() const;

private:
    struct HostedFile {
        std::string diskPath;
        Fault fault = Fault::kNone;
    };

    void acceptLoop();
    void serve(int fd);

    SSL_CTX* ctx_ = nullptr;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> delayMs_{0};
    std::atomic<size_t> chunkBytes_{16 * 1024};
    mutable std::mutex mutex_;
    std::map<std::string, std::string> documents_;
    std::map<std::string, HostedFile> files_;
    std::vector<std::string> requests_;
    std::vector<std::thread> connections_;
    std::thread acceptThread_;
};

// {"retcode":0,"retdesc":"ok","data":{"model":record}} as text.
std::string catalogAnswer(const std::string& recordJson);
