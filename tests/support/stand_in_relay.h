// A stand-in for the maker's relay service inside the test process: a TLS
// server on a free loopback port (certificate from a test CA) that speaks the
// relay's control protocol (hello, challenge checked against the device
// token, AUTH_OK or a rejection, pings, data-connection announcements) and
// forwards a scripted HTTP request over each data connection it announced.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/tls_test_server.h"

class StandInRelay {
    struct Job;

public:
    // How the relay answers a hello.
    enum class Auth {
        Check,             // challenge, then AUTH_OK when the HMAC is right, else "AUTH_FAIL bad_hmac"
        RejectLowerCase,   // challenge, then "auth_ok" (not the accepting word)
        Garbage,           // a line of noise instead of the challenge
        NoTimestamp,       // a challenge without "ts"
        Silent,            // nothing after the hello
        Drop,              // closes the connection after the hello
    };

    // Accepts devices `uuid` with token `token`.
    StandInRelay(const PemIdentity& identity, std::string uuid, std::string token);
    ~StandInRelay();  // stops, closes everything and joins every thread
    StandInRelay(const StandInRelay&) = delete;
    StandInRelay& operator=(const StandInRelay&) = delete;

    int port() const { return port_; }
    void setAuth(Auth auth);
    // While refusing, new connections are closed at once, before TLS.
    void setRefusing(bool refusing);
    // Stops listening for good (connects are refused by the system).
    void closeListener();

    // Waits for an authenticated control connection (a new one when
    // `afterCount` of them were already seen). False on time-out.
    bool waitAuthenticated(int count, int timeoutMs = 10000);
    int authenticatedCount() const;
    // Every connection's accept time, control and data alike.
    std::vector<std::chrono::steady_clock::time_point> acceptTimes() const;
    int acceptedCount() const;
    // The hello lines received, in order.
    std::vector<std::string> hellos() const;
    // Lines the device sent after authentication (PONG...), in order.
    std::vector<std::string> controlLines() const;
    // Waits until `line` was received on a control connection.
    bool waitControlLine(const std::string& line, int count, int timeoutMs = 10000);
    // Sends a raw line on the current control connection (add "\n").
    void sendControl(const std::string& text);
    // Closes the current control connection.
    void dropControl();
    // Data-channel init lines received, in order.
    std::vector<std::string> dataInits() const;

    // Announces a data connection and, when the device opens it, sends
    // `request` and returns every byte the device sends back until it closes
    // the connection (or `timeoutMs` passes: nullopt).
    std::optional<std::string> relay(const std::string& request, int timeoutMs = 20000);
    // Announces a data connection for `requestId` and returns at once; the
    // device's bytes are kept and the connection stays open until the relay
    // stops or `releaseData` is called.
    void announceHeld(uint64_t requestId, const std::string& request);
    // One data connection held open for a conversation of several requests
    // (keep-alive through the relay). Used by one thread.
    class DataSession {
    public:
        ~DataSession();  // closes the connection
        bool send(const std::string& bytes);
        // Reads one whole reply (Content-Length or chunked). False on close
        // or time-out.
        bool readReply(std::string* raw, int timeoutMs = 20000);

    private:
        friend class StandInRelay;
        StandInRelay* relay_ = nullptr;
        std::shared_ptr<Job> job_;
        std::string pending_;
    };
    // Announces a data connection and returns it once the device opened it;
    // null after `timeoutMs`.
    std::unique_ptr<DataSession> openSession(int timeoutMs = 10000);

    // Number of data connections open now.
    int openDataConnections() const;
    void releaseData();

    // The HMAC answer the device must send for this challenge.
    static std::string expectedHmac(const std::string& uuid, const std::string& token, const std::string& nonce,
                                    uint64_t ts);

private:
    void acceptLoop();
    void serve(int fd);
    void serveControl(void* ssl, int fd, const std::string& hello);
    void serveData(void* ssl, int fd, const std::string& init);

    SSL_CTX* ctx_ = nullptr;
    int listenFd_ = -1;
    int port_ = 0;
    std::string uuid_;
    std::string token_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> refusing_{false};
    std::atomic<Auth> auth_{Auth::Check};

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::thread> threads_;
    std::vector<int> openFds_;
    std::vector<std::chrono::steady_clock::time_point> acceptTimes_;
    std::vector<std::string> hellos_;
    std::vector<std::string> controlLines_;
    std::vector<std::string> dataInits_;
    std::vector<std::string> outgoing_;  // lines waiting for the control connection
    bool dropControl_ = false;
    bool releaseData_ = false;
    int authenticated_ = 0;
    int openData_ = 0;
    uint64_t nextRequestId_ = 1;
    std::map<uint64_t, std::shared_ptr<Job>> jobs_;
    std::thread acceptThread_;
};
