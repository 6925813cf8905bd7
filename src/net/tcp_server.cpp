#include "net/tcp_server.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <typeinfo>

#include "base/logger.h"
#include "net/socket_peer.h"
#include "platform/readiness_poller.h"
#include "platform/tcp_socket.h"
#include "platform/wake_pipe.h"

namespace {

using Clock = std::chrono::steady_clock;

// Connections the system completes before the poller accepts them. A burst
// of clients (or sockets that reopen as their deadline closes them) beyond
// it has its handshakes dropped and retried a second later, which a normal
// client would feel; the poller accepts quickly, so a deep queue stays short.
constexpr int kBacklog = 1024;
// Poller tags of the two descriptors that are not connections.
constexpr uint64_t kListenTag = 0;
constexpr uint64_t kWakeTag = 1;
// How often the poller looks for connections past their deadline.
constexpr int kSweepMs = 250;
// Connections accepted in one round before the poller looks at the others.
constexpr int kAcceptsPerRound = 64;

// One accepted connection. Owned by exactly one side at a time: the poller
// while it waits (in its table), a worker while it is served (in the job
// queue or running); the hand-over goes through the core's mutex.
struct Connection {
    std::shared_ptr<PeerImpl> peer;
    std::unique_ptr<ConnectionSession> session;  // null: served by the peer handler
    uint64_t tag = 0;                            // poller tag while it waits
    Clock::time_point deadline;                  // while it waits
    bool headDeadline = false;                   // deadline is the head's, not the idle one
};
using ConnectionPtr = std::shared_ptr<Connection>;

// What the poller, the workers and the server object share. Held by shared
// pointers so that a worker still finishing after stop() gave up waiting
// never touches a destroyed server.
struct ServerCore {
    explicit ServerCore(const TcpServerOptions& o) : options(o) {}

    const TcpServerOptions options;
    TcpServer::PeerHandler handler;
    TcpServer::SessionFactory factory;
    WakePipe wake;

    std::mutex mutex;
    std::condition_variable work;      // a job was queued, or stopping
    std::condition_variable finished;  // a job ended
    std::deque<ConnectionPtr> jobs;
    std::vector<ConnectionPtr> returned;  // served, back to the poller
    std::list<std::shared_ptr<Peer>> peers;
    int workers = 0;
    int idleWorkers = 0;
    int busy = 0;       // connections queued or in a worker, serving
    int lingering = 0;  // workers waiting on a kept-alive connection
    int waiting = 0;    // connections in the poller
    bool stopping = false;

    void unlist(const std::shared_ptr<Peer>& peer) {
        std::lock_guard<std::mutex> lock(mutex);
        peers.remove(peer);
    }
};

// Ends a connection: shuts it down and drops it from the list. The socket is
// released with the last reference to the peer.
void closeConnection(ServerCore& core, const ConnectionPtr& connection) {
    connection->peer->close();
    core.unlist(connection->peer);
}

// What a refused client may still send before its connection is closed.
constexpr size_t kRefusalDrainBytes = 64 * 1024;

// Answers a request beyond the busy limit without reading it and closes the
// connection. The reply is small enough for the socket buffer and the drain
// is bounded (what already arrived), so the caller never blocks on a slow or
// a flooding client.
void refuseBusy(ServerCore& core, const ConnectionPtr& connection) {
    static const char kReply[] =
        "HTTP/1.1 503 Service Unavailable\r\n"
        "Content-Length: 82\r\n"
        "Content-Type: application/json\r\n"
        "Connection: close\r\n\r\n"
        "{\"error\":{\"code\":\"server_busy\",\"httpStatus\":503,\"message\":\"Too many connections\"}}";
    const int fd = connection->peer->fd();
    sendSome(fd, kReply, sizeof kReply - 1, true);
    shutdownSocketSend(fd);
    char drain[4096];
    size_t drained = 0;
    while (drained < kRefusalDrainBytes && waitReadable(fd, 0) == 1) {
        const ssize_t n = receiveSome(fd, drain, sizeof drain, true);
        if (n <= 0) break;
        drained += static_cast<size_t>(n);
    }
    closeConnection(core, connection);
}

// Waits on a worker, up to the linger time, for the next request head of a
// kept-alive connection (the connection does not count as in work meanwhile).
// Keep-alive clients mostly send their next request at once: serving it here
// saves two hand-overs between threads per request. Returns Complete with a
// busy slot taken again, Waiting when the time ran out (the poller takes
// over), Closed when the client went away or the server stops or is full
// (then the connection was answered and ended).
HeadProgress lingerForNextHead(ServerCore& core, const ConnectionPtr& connection) {
    SocketInputStream& input = *static_cast<SocketInputStream*>(connection->peer->getInputStream());
    {
        std::lock_guard<std::mutex> lock(core.mutex);
        if (core.stopping || core.lingering >= core.options.maxConnections) return HeadProgress::Waiting;
        --core.busy;
        ++core.lingering;
    }
    core.finished.notify_all();
    const auto until = Clock::now() + std::chrono::milliseconds(core.options.keepAliveLingerMs);
    HeadProgress progress = HeadProgress::Waiting;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0) break;
        const int ready = waitReadable(connection->peer->fd(), static_cast<int>(left));
        if (ready == 0) break;
        progress = ready < 0 ? HeadProgress::Closed : input.collectHead();
        if (progress != HeadProgress::Waiting) break;
    }
    bool full = false;
    {
        std::lock_guard<std::mutex> lock(core.mutex);
        --core.lingering;
        if (progress == HeadProgress::Complete) {
            if (core.stopping) {
                progress = HeadProgress::Closed;
            } else if (core.busy >= core.options.maxConnections) {
                full = true;
            } else {
                ++core.busy;
            }
        }
    }
    if (full) {
        logMessage(2, "[tcpserv] too many requests in work, refusing one");
        refuseBusy(core, connection);
        return HeadProgress::Closed;
    }
    if (progress == HeadProgress::Waiting) {
        // Back to counting as in work until the poller has it again.
        std::lock_guard<std::mutex> lock(core.mutex);
        ++core.busy;
    }
    return progress;
}

// Runs one job on a worker: the whole connection for a peer handler, else
// its session's requests as long as their heads arrive promptly. Returns
// whether the connection goes back to the poller; `slotHeld` tells whether
// it still counts as in work (the caller gives that back).
bool runJob(ServerCore& core, const ConnectionPtr& connection, bool* slotHeld) {
    *slotHeld = true;
    try {
        if (!connection->session) {
            if (!core.handler) throw std::bad_function_call();
            core.handler(connection->peer.get());
            return false;
        }
        SocketInputStream& input = *static_cast<SocketInputStream*>(connection->peer->getInputStream());
        for (;;) {
            if (!connection->session->serve() || connection->peer->isClosed()) return false;
            // A client may send its next request before reading the reply.
            input.startHeadScan();
            if (input.bufferedHeadComplete()) continue;
            const HeadProgress next = lingerForNextHead(core, connection);
            if (next == HeadProgress::Complete) continue;
            if (next == HeadProgress::Closed) {
                *slotHeld = false;
                return false;
            }
            return true;
        }
    } catch (const std::exception& e) {
        logMessage(2, "[tcpserv] 피어 처리 중 예외 발생 (%s): %s", typeid(e).name(), e.what());
    } catch (...) {
        logMessage(2, "[tcpserv] 피어 처리 중 알 수 없는(비표준) 예외 발생");
    }
    return false;
}

// A worker thread: takes jobs until it has waited idleWorkerMs without one,
// or the server stops.
void workerLoop(const std::shared_ptr<ServerCore>& core) {
    std::unique_lock<std::mutex> lock(core->mutex);
    for (;;) {
        if (core->jobs.empty() && !core->stopping) {
            ++core->idleWorkers;
            core->work.wait_for(lock, std::chrono::milliseconds(core->options.idleWorkerMs),
                                [&] { return !core->jobs.empty() || core->stopping; });
            --core->idleWorkers;
        }
        if (core->jobs.empty()) break;
        ConnectionPtr connection = std::move(core->jobs.front());
        core->jobs.pop_front();
        const bool stopping = core->stopping;
        lock.unlock();
        bool slotHeld = true;
        const bool keep = !stopping && runJob(*core, connection, &slotHeld);
        if (!keep) closeConnection(*core, connection);
        lock.lock();
        if (slotHeld) --core->busy;
        if (keep && !core->stopping) {
            core->returned.push_back(std::move(connection));
            core->wake.signal();
        } else if (keep) {
            lock.unlock();
            closeConnection(*core, connection);
            lock.lock();
        }
        connection.reset();
        core->finished.notify_all();
    }
    --core->workers;
    core->finished.notify_all();
}

class TcpServerImpl : public TcpServer {
public:
    TcpServerImpl(const std::string& bindAddress, uint16_t port, const TcpServerOptions& options)
        : bindAddress_(bindAddress), port_(port), options_(options), core_(std::make_shared<ServerCore>(options)) {}

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
        // Accepting happens when the poller reports the socket readable; a
        // client that gave up meanwhile must not block the poller.
        setNonBlocking(fd, true);
        listenFd_ = fd;
        boundPort_ = socketLocalPort(fd);
        stopFlag_.store(false);
        {
            std::lock_guard<std::mutex> lock(core_->mutex);
            core_->stopping = false;
        }
        try {
            poller_ = std::make_unique<ReadinessPoller>();
            if (!poller_->add(listenFd_, kListenTag) || !poller_->add(core_->wake.fd(), kWakeTag))
                throw std::system_error(errno, std::generic_category(), "epoll_ctl");
            acceptThread_ = std::thread([this] { pollLoop(); });
        } catch (...) {
            poller_.reset();
            closeSocket(listenFd_);
            listenFd_ = -1;
            throw;
        }
    }

    bool stop() override {
        if (listenFd_ < 0) return true;
        stopFlag_.store(true);
        core_->wake.signal();
        if (acceptThread_.joinable()) acceptThread_.join();
        poller_.reset();
        closeSocket(listenFd_);
        listenFd_ = -1;

        std::list<std::shared_ptr<Peer>> taken;
        {
            std::lock_guard<std::mutex> lock(core_->mutex);
            core_->stopping = true;
            taken.swap(core_->peers);
            for (ConnectionPtr& connection : core_->returned) taken.push_back(connection->peer);
            core_->returned.clear();
        }
        core_->work.notify_all();
        for (auto& peer : taken) peer->close();
        taken.clear();

        std::unique_lock<std::mutex> lock(core_->mutex);
        const auto deadline = Clock::now() + std::chrono::milliseconds(options_.stopWaitMs);
        const bool done = core_->finished.wait_until(lock, deadline, [this] { return core_->busy == 0; });
        if (!done) {
            logMessage(2, "[tcpserv] %d connection(s) still in work after %d ms", core_->busy, options_.stopWaitMs);
        }
        // Idle and lingering workers leave once they see the stop. Waiting
        // for them (within the same bound) means no worker outlives the
        // server still holding what its requests left in thread-local
        // state, such as a TLS library's per-thread error queue.
        core_->finished.wait_until(lock, deadline, [this] { return core_->workers == 0; });
        return done;
    }

    std::vector<std::shared_ptr<Peer>> peers() override {
        std::lock_guard<std::mutex> lock(core_->mutex);
        return {core_->peers.begin(), core_->peers.end()};
    }

    void setPeerHandler(PeerHandler handler) override { core_->handler = std::move(handler); }
    void setSessionFactory(SessionFactory factory) override { core_->factory = std::move(factory); }

    uint16_t listeningPort() const override { return listenFd_ >= 0 ? boundPort_ : 0; }

    int activeConnections() override {
        std::lock_guard<std::mutex> lock(core_->mutex);
        return core_->busy;
    }

    int waitingConnections() override {
        std::lock_guard<std::mutex> lock(core_->mutex);
        return core_->waiting;
    }

private:
    // The poller thread: accepts, watches waiting connections for their next
    // request head, takes back served ones and closes those past their
    // deadline.
    void pollLoop() {
        std::vector<uint64_t> ready;
        auto nextSweep = Clock::now() + std::chrono::milliseconds(kSweepMs);
        while (!stopFlag_.load()) {
            const int n = poller_->wait(ready, waiting_.empty() ? 1000 : kSweepMs);
            if (n < 0) {
                std::fprintf(stderr, "epoll_wait() failed: %s\n", std::strerror(errno));
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            if (stopFlag_.load()) break;
            for (const uint64_t tag : ready) {
                if (tag == kListenTag) {
                    acceptRound();
                } else if (tag == kWakeTag) {
                    core_->wake.drain();
                    takeReturned();
                } else {
                    const auto found = waiting_.find(tag);
                    if (found != waiting_.end()) progress(found->second);
                }
            }
            if (Clock::now() >= nextSweep) {
                sweep();
                nextSweep = Clock::now() + std::chrono::milliseconds(kSweepMs);
            }
        }
        // Waiting connections end with the server.
        for (auto& [tag, connection] : waiting_) {
            poller_->remove(connection->peer->fd());
            closeConnection(*core_, connection);
        }
        waiting_.clear();
        setWaitingCount();
    }

    void setWaitingCount() {
        std::lock_guard<std::mutex> lock(core_->mutex);
        core_->waiting = static_cast<int>(waiting_.size());
    }

    void acceptRound() {
        for (int i = 0; i < kAcceptsPerRound && !stopFlag_.load(); ++i) {
            const int fd = acceptConnection(listenFd_);
            if (fd < 0) {
                const int err = errno;
                if (err == EAGAIN || err == EWOULDBLOCK) return;
                if (stopFlag_.load()) return;
                std::fprintf(stderr, "accept() failed: %s\n", std::strerror(err));
                // Out of descriptors: the connection that has waited longest
                // gives its descriptor up; without one, let a request finish
                // rather than spin on the same failure.
                if ((err == EMFILE || err == ENFILE) && !waiting_.empty()) {
                    evictOldest("out of descriptors");
                } else {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
                return;
            }
            if (!core_->handler && !core_->factory) {
                std::fprintf(stderr, "accept() but close socket. because no tcpPeerHandler\n");
                closeSocket(fd);
                continue;
            }
            admit(fd);
        }
    }

    void admit(int fd) {
        auto connection = std::make_shared<Connection>();
        connection->peer = std::make_shared<PeerImpl>(fd, options_.receiveTimeoutMs, options_.sendStallTimeoutMs);
        {
            std::lock_guard<std::mutex> lock(core_->mutex);
            core_->peers.push_back(connection->peer);
        }
        if (!core_->factory) {
            dispatch(connection);
            return;
        }
        try {
            connection->session = core_->factory(connection->peer.get());
        } catch (const std::exception& e) {
            logMessage(1, "[tcpserv] cannot set up a connection: %s", e.what());
        }
        if (!connection->session) {
            closeConnection(*core_, connection);
            return;
        }
        if (static_cast<int>(waiting_.size()) >= options_.maxWaitingConnections && !waiting_.empty())
            evictOldest("waiting connection limit");
        park(connection);
    }

    // Closes the connection that has waited longest (the smallest tag).
    void evictOldest(const char* why) {
        const auto oldest = waiting_.begin();
        logMessage(4, "[tcpserv] %s (%zu): closing the connection that waited longest", why, waiting_.size());
        ConnectionPtr connection = oldest->second;
        unpark(oldest);
        closeConnection(*core_, connection);
    }

    // Watches the connection for its next request head, from now with the
    // idle time-out.
    void park(const ConnectionPtr& connection) {
        SocketInputStream& input = *static_cast<SocketInputStream*>(connection->peer->getInputStream());
        input.startHeadScan();
        input.releaseEmptyBuffer();
        connection->tag = nextTag_++;
        connection->headDeadline = false;
        connection->deadline = Clock::now() + std::chrono::milliseconds(options_.receiveTimeoutMs);
        if (!poller_->add(connection->peer->fd(), connection->tag)) {
            logMessage(1, "[tcpserv] cannot watch a connection: %s", std::strerror(errno));
            closeConnection(*core_, connection);
            return;
        }
        const auto placed = waiting_.emplace(connection->tag, connection).first;
        setWaitingCount();
        // Bytes may have arrived before it was watched.
        progress(placed->second);
    }

    void unpark(std::map<uint64_t, ConnectionPtr>::iterator at) {
        poller_->remove(at->second->peer->fd());
        waiting_.erase(at);
        setWaitingCount();
    }

    // Reads what the client sent; hands the connection to a worker once its
    // head is complete, closes it when the client went away.
    void progress(ConnectionPtr connection) {
        SocketInputStream& input = *static_cast<SocketInputStream*>(connection->peer->getInputStream());
        const HeadProgress state = input.collectHead();
        if (state == HeadProgress::Waiting) {
            if (!connection->headDeadline && input.headStarted() && options_.headDeadlineMs > 0) {
                connection->headDeadline = true;
                connection->deadline = Clock::now() + std::chrono::milliseconds(options_.headDeadlineMs);
            }
            return;
        }
        unpark(waiting_.find(connection->tag));
        if (state == HeadProgress::Closed) {
            closeConnection(*core_, connection);
            return;
        }
        dispatch(connection);
    }

    // Queues the connection for a worker, starting one when none is free;
    // beyond the busy limit the request is refused.
    void dispatch(const ConnectionPtr& connection) {
        bool queued = false;
        bool spawn = false;
        int busy = 0;
        std::shared_ptr<Peer> evicted;
        {
            std::lock_guard<std::mutex> lock(core_->mutex);
            busy = core_->busy;
            if (busy >= options_.maxConnections) {
                // A peer handler that only waits for its next request (it
                // serves a whole connection) gives way; the oldest such first.
                for (const auto& listed : core_->peers) {
                    if (listed->isIdle()) {
                        evicted = listed;
                        break;
                    }
                }
            }
            if ((busy < options_.maxConnections || evicted) && !core_->stopping) {
                ++core_->busy;
                core_->jobs.push_back(connection);
                queued = true;
                if (static_cast<int>(core_->jobs.size()) > core_->idleWorkers) {
                    spawn = true;
                    ++core_->workers;
                }
            }
        }
        if (evicted) {
            logMessage(4, "[tcpserv] connection limit (%d): closing an idle connection for a new one", busy);
            evicted->close();
        }
        if (!queued) {
            logMessage(2, "[tcpserv] too many requests in work (%d), refusing one", busy);
            refuseBusy(*core_, connection);
            return;
        }
        core_->work.notify_one();
        if (spawn) startWorker();
    }

    void startWorker() {
        try {
            std::thread([core = core_] { workerLoop(core); }).detach();
        } catch (const std::system_error& e) {
            // The job waits for a worker that finishes its own.
            logMessage(1, "[tcpserv] cannot start a worker thread: %s", e.what());
            std::lock_guard<std::mutex> lock(core_->mutex);
            --core_->workers;
        }
    }

    void takeReturned() {
        std::vector<ConnectionPtr> back;
        {
            std::lock_guard<std::mutex> lock(core_->mutex);
            back.swap(core_->returned);
        }
        for (const ConnectionPtr& connection : back) park(connection);
    }

    // Closes the waiting connections past their deadline.
    void sweep() {
        const auto now = Clock::now();
        std::vector<ConnectionPtr> expired;
        for (auto it = waiting_.begin(); it != waiting_.end();) {
            if (it->second->deadline > now) {
                ++it;
                continue;
            }
            expired.push_back(it->second);
            poller_->remove(it->second->peer->fd());
            it = waiting_.erase(it);
        }
        if (expired.empty()) return;
        setWaitingCount();
        for (const ConnectionPtr& connection : expired) {
            connection->session->timedOut();
            closeConnection(*core_, connection);
        }
    }

    const std::string bindAddress_;
    const uint16_t port_;
    const TcpServerOptions options_;
    int listenFd_ = -1;
    uint16_t boundPort_ = 0;
    std::thread acceptThread_;
    std::atomic<bool> stopFlag_{false};
    std::shared_ptr<ServerCore> core_;
    std::unique_ptr<ReadinessPoller> poller_;
    // Poller thread only: the waiting connections by tag (older first).
    std::map<uint64_t, ConnectionPtr> waiting_;
    uint64_t nextTag_ = 2;
};

}  // namespace

std::unique_ptr<TcpServer> TcpServer::create(const std::string& bindAddress, uint16_t port,
                                             const TcpServerOptions& options) {
    return std::make_unique<TcpServerImpl>(bindAddress, port, options);
}
