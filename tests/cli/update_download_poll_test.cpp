// Following a download on the server: the progress line per poll, the end
// states, and the deadline when the server's job stops moving. The server
// is a loopback stand-in that answers by path, the download status from a
// script whose last reply repeats.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "support/loopback_listener.h"
#include "cli/update_commands.h"
#include "support/temp_dir.h"

namespace {

class ScriptedManagementApi {
public:
    explicit ScriptedManagementApi(std::vector<std::string> statusReplies) : statusReplies_(std::move(statusReplies)) {
        fd_ = listenOnLoopback(port_);
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedManagementApi() {
        stop_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
    }
    int port() const { return port_; }
    std::vector<std::string> requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

private:
    void serve() {
        size_t next = 0;
        while (!stop_) {
            const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            std::string request;
            char buffer[4096];
            // Head, then the small JSON body of a POST.
            while (request.find("\r\n\r\n") == std::string::npos) {
                const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                request.append(buffer, static_cast<size_t>(n));
            }
            const size_t lengthAt = request.find("Content-Length: ");
            if (lengthAt != std::string::npos) {
                const size_t want = std::stoul(request.substr(lengthAt + 16)) + request.find("\r\n\r\n") + 4;
                while (request.size() < want) {
                    const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
                    if (n <= 0) break;
                    request.append(buffer, static_cast<size_t>(n));
                }
            }
            std::string body;
            if (request.rfind("GET /mgmt-api/app/updateAvailable", 0) == 0) {
                body = R"({"latestVersion":"1.0.99","updateAvailable":true})";
            } else if (request.rfind("POST /mgmt-api/app/updateDownload", 0) == 0) {
                body = R"({"success":{"message":"download started"}})";
            } else {
                body = statusReplies_[std::min(next, statusReplies_.size() - 1)];
                ++next;
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(request.substr(0, request.find("\r\n")));
            }
            const std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: application/json\r\n\r\n" + body;
            ::send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
            ::close(client);
        }
    }

    std::vector<std::string> statusReplies_;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

struct PollRun {
    int exitCode;
    bool ready;
    std::string out;
    std::string err;
};

PollRun follow(const std::vector<std::string>& statusReplies, int stallMs = 60000) {
    ScriptedManagementApi api(statusReplies);
    TempDir home;
    writeTextFile(home.file("serv.conf"), "SERV_PORT=" + std::to_string(api.port()) + "\n");
    UpdateContext context;
    context.confPath = home.file("serv.conf");
    context.home = home.path();
    context.installDir = home.path();
    context.downloadStallMs = stallMs;
    context.pollIntervalMs = 20;
    bool ready = false;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int exitCode = cmdAppUpdateDn(context, "brisvanesrv", &ready);
    PollRun run{exitCode, ready, testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr()};
    const std::vector<std::string> requests = api.requests();
    EXPECT_GE(requests.size(), 3u);
    if (requests.size() >= 2) {
        EXPECT_EQ(requests[1], "POST /mgmt-api/app/updateDownload HTTP/1.0");
    }
    return run;
}

TEST(UpdateDownloadPoll, ShowsProgressAndEndsOnTheJobsFinalState) {
    const PollRun ready = follow({R"({"status":"downloading","progressPercent":12.34,"bytesDownloaded":1})",
                                  R"({"status":"extracting","progressPercent":100,"bytesDownloaded":8})",
                                  R"({"status":"ready","progressPercent":100})"});
    EXPECT_EQ(ready.exitCode, 0);
    EXPECT_TRUE(ready.ready);
    EXPECT_EQ(ready.out, "Downloading brisvanesrv 1.0.99 ...\n\r[downloading] 12.3%   \r[extracting] 100.0%   "
                         "\nDownload ready: work/_update_ready/brisvanesrv\n");
    EXPECT_EQ(ready.err, "");

    const PollRun failed = follow({R"({"status":"verifying","progressPercent":100,"bytesDownloaded":8})",
                                   R"({"status":"failed","errorMessage":"SHA256 불일치"})"});
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_FALSE(failed.ready);
    EXPECT_EQ(failed.out, "Downloading brisvanesrv 1.0.99 ...\n\r[verifying] 100.0%   ");
    EXPECT_EQ(failed.err, "\nUpdate download failed: SHA256 불일치\n");

    const PollRun none = follow({R"({"status":"none"})"});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_EQ(none.err, "\nUpdate download failed: none\n");
}

TEST(UpdateDownloadPoll, AJobThatStopsMovingEndsTheWaitAtItsDeadline) {
    const PollRun stalled =
        follow({R"({"status":"downloading","progressPercent":50,"bytesDownloaded":500})"}, /*stallMs=*/300);
    EXPECT_EQ(stalled.exitCode, 1);
    EXPECT_FALSE(stalled.ready);
    EXPECT_NE(stalled.err.find("no progress for"), std::string::npos) << stalled.err;
}

}  // namespace
