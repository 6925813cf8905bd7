#include "net/tcp_server.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <list>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <typeinfo>

#include "base/logger.h"
#include "net/socket_peer.h"
#include "platform/tcp_socket.h"

namespace {

constexpr int kBacklog = 20;

// What connection threads share with the server. Held by shared pointers so
// that a thread still finishing after stop() gave up waiting never touches a
// destroyed server.
struct ConnectionRegistry {
    std::mutex mutex;
    std::condition_variable finished;
    std::list<std::shared_ptr<Peer>> peers;
    int active = 0;
    TcpServer::PeerHandler handler;
};

void servePeer(const std::shared_ptr<ConnectionRegistry>& registry, const std::shared_ptr<Peer>& peer) {
    try {
        if (!registry->handler) throw std::bad_function_call();
        registry->handler(peer.get());
    } catch (const std::exception& e) {
        logMessage(2, "[tcpserv] 피어 처리 중 예외 발생 (%s): %s", typeid(e).name(), e.what());
    } catch (...) {
        logMessage(2, "[tcpserv] 피어 처리 중 알 수 없는(비표준) 예외 발생");
    }
    peer->close();
    std::lock_guard<std::mutex> lock(registry->mutex);
    registry->peers.remove(peer);
    --registry->active;
    registry->finished.notify_all();
}

// What the accept thread reads and discards of a refused client's request
// before closing: what has already arrived, never more than this, so a
// client that keeps sending cannot hold up accepting.
constexpr size_t kRefusalDrainBytes = 64 * 1024;

// Answers a connection beyond the limit without reading its request. The
// reply is small enough for the socket buffer and the drain is bounded, so
// the accept thread never blocks on a slow or a flooding client.
void refuseBusy(int fd) {
    static const char kReply[] =
        "HTTP/1.1 503 Service Unavailable\r\n"
        "Content-Length: 82\r\n"
        "Content-Type: application/json\r\n"
        "Connection: close\r\n\r\n"
        "{\"error\":{\"code\":\"server_busy\",\"httpStatus\":503,\"message\":\"Too many connections\"}}";
    sendSome(fd, kReply, sizeof kReply - 1, true);
    shutdownSocketSend(fd);
    char drain[4096];
    size_t drained = 0;
    while (drained < kRefusalDrainBytes && waitReadable(fd, 0) == 1) {
        const ssize_t n = receiveSome(fd, drain, sizeof drain);
        if (n <= 0) break;
        drained += static_cast<size_t>(n);
    }
    closeSocket(fd);
}

class TcpServerImpl : public TcpServer {
public:
    TcpServerImpl(const std::string& bindAddress, uint16_t port, const TcpServerOptions& options)
        : bindAddress_(bindAddress), port_(port), options_(options),
          registry_(std::make_shared<ConnectionRegistry>()) {}

    ~TcpServerImpl() override { stop(); }

    TcpServerImpl(const TcpServerImpl&) = delete;
    TcpServerImpl& operator=(const TcpServerImpl&) = delete;

    void start() override {
        if (listenFd_ >= 0) throw std::runtime_error("Server already started");
        uint32_t address = 0;
        std::string error;
        if (!resolveIpv4(bindAddress_, &address, &error)) throw std::runtime_error("resolve() failed: " + error);
        const int fd = openListeningSocket(address, port_, kBacklog, &error);
        if (fd < 0) throw std::runtime_error(error);
        listenFd_ = fd;
        boundPort_ = socketLocalPort(fd);
        stopFlag_.store(false);
        try {
            acceptThread_ = std::thread([this] { acceptLoop(); });
        } catch (...) {
            closeSocket(listenFd_);
            listenFd_ = -1;
            throw;
        }
    }

    bool stop() override {
        if (listenFd_ < 0) return true;
        stopFlag_.store(true);
        // shutdown wakes the pending accept; the descriptor is closed only
        // after the accept thread has gone, so it cannot be reused under it.
        shutdownSocket(listenFd_);
        if (acceptThread_.joinable()) acceptThread_.join();
        closeSocket(listenFd_);
        listenFd_ = -1;

        std::list<std::shared_ptr<Peer>> taken;
        {
            std::lock_guard<std::mutex> lock(registry_->mutex);
            taken.swap(registry_->peers);
        }
        for (auto& peer : taken) peer->close();
        taken.clear();

        std::unique_lock<std::mutex> lock(registry_->mutex);
        const bool done = registry_->finished.wait_for(lock, std::chrono::milliseconds(options_.stopWaitMs),
                                                       [this] { return registry_->active == 0; });
        if (!done) {
            logMessage(2, "[tcpserv] %d connection thread(s) still running after %d ms", registry_->active,
                       options_.stopWaitMs);
        }
        return done;
    }

    std::vector<std::shared_ptr<Peer>> peers() override {
        std::lock_guard<std::mutex> lock(registry_->mutex);
        return {registry_->peers.begin(), registry_->peers.end()};
    }

    void setPeerHandler(PeerHandler handler) override { registry_->handler = std::move(handler); }

    uint16_t listeningPort() const override { return listenFd_ >= 0 ? boundPort_ : 0; }

    int activeConnections() override {
        std::lock_guard<std::mutex> lock(registry_->mutex);
        return registry_->active;
    }

private:
    void acceptLoop() {
        while (!stopFlag_.load()) {
            const int fd = acceptConnection(listenFd_);
            if (fd < 0) {
                const int err = errno;
                if (stopFlag_.load()) break;
                std::fprintf(stderr, "accept() failed: %s\n", std::strerror(err));
                // Out of descriptors or memory: let a connection finish
                // rather than spin on the same failure.
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            if (!registry_->handler) {
                std::fprintf(stderr, "accept() but close socket. because no tcpPeerHandler\n");
                closeSocket(fd);
                continue;
            }
            admit(fd);
        }
    }

    void admit(int fd) {
        std::shared_ptr<Peer> peer;
        std::shared_ptr<Peer> evicted;
        int busyWith = 0;
        {
            std::lock_guard<std::mutex> lock(registry_->mutex);
            if (registry_->active >= options_.maxConnections) {
                // A connection that only waits for its next request gives
                // way to a new one; the oldest such goes first.
                for (const auto& listed : registry_->peers) {
                    if (listed->isIdle()) {
                        evicted = listed;
                        break;
                    }
                }
                busyWith = registry_->active;
            }
            if (registry_->active < options_.maxConnections || evicted) {
                peer = std::make_shared<PeerImpl>(fd, options_.receiveTimeoutMs, options_.sendStallTimeoutMs);
                registry_->peers.push_back(peer);
                ++registry_->active;
            }
        }
        if (evicted) {
            logMessage(4, "[tcpserv] connection limit (%d): closing an idle connection for a new one", busyWith);
            // Its thread wakes with the closed connection and leaves the
            // list; closing also clears its idle mark, so it is taken once.
            evicted->close();
        }
        if (!peer) {
            logMessage(2, "[tcpserv] too many connections (%d), refusing a new one", busyWith);
            refuseBusy(fd);
            return;
        }
        try {
            std::thread([registry = registry_, peer] { servePeer(registry, peer); }).detach();
        } catch (const std::system_error& e) {
            logMessage(1, "[tcpserv] cannot start a connection thread: %s", e.what());
            peer->close();
            std::lock_guard<std::mutex> lock(registry_->mutex);
            registry_->peers.remove(peer);
            --registry_->active;
            registry_->finished.notify_all();
        }
    }

    const std::string bindAddress_;
    const uint16_t port_;
    const TcpServerOptions options_;
    int listenFd_ = -1;
    uint16_t boundPort_ = 0;
    std::thread acceptThread_;
    std::atomic<bool> stopFlag_{false};
    std::shared_ptr<ConnectionRegistry> registry_;
};

}  // namespace

std::unique_ptr<TcpServer> TcpServer::create(const std::string& bindAddress, uint16_t port,
                                             const TcpServerOptions& options) {
    return std::make_unique<TcpServerImpl>(bindAddress, port, options);
}
