#include "relay/data_channel.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>
#include <vector>

#include "base/logger.h"
#include "platform/socket_errors.h"
#include "relay/memory_channel.h"
#include "relay/memory_peer.h"
#include "relay/relay_threads.h"
#include "relay/rtc_client.h"
#include "relay/rtc_log.h"
#include "relay/rtc_tls.h"

namespace mivrelable::rtc {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kPumpBufferBytes = 65536;
constexpr uint64_t kInboundBytes = 1048576;
constexpr uint64_t kOutboundBytes = 4194304;
constexpr int32_t kMemoryReadTimeoutSeconds = 30;
// Upper bound of one wait when nothing else bounds it: a safety net, every
// real event wakes the pump through a descriptor.
constexpr int kIdleWaitMs = 1000;
// After traffic the memory pump keeps looking, without sleeping, for this
// long: a small request's reply (and often the client's next request) comes
// back sooner, and a thread that sleeps and is woken for each costs more than
// the look (two wake-ups per request on a busy machine or a virtual one).
constexpr auto kSpinAfterTraffic = std::chrono::microseconds(50);

int millisUntil(Clock::time_point t) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// A byte buffer with what is in it and how much of that was passed on.
struct PumpBuffer {
    explicit PumpBuffer(size_t size) : bytes(size) {}
    std::vector<char> bytes;
    size_t fill = 0;
    size_t offset = 0;
    bool empty() const { return offset >= fill; }
    size_t left() const { return fill - offset; }
    const char* data() const { return bytes.data() + offset; }
    void reset(size_t n) {
        fill = n;
        offset = 0;
    }
};

// Tracks the stop's grace time for one pump.
struct StopGrace {
    bool seen = false;
    Clock::time_point deadline;
    // True on the first call after the stop was raised.
    bool begins(const StopSignal& stop, int graceMs) {
        if (seen || !stop.raised()) return false;
        seen = true;
        deadline = Clock::now() + std::chrono::milliseconds(graceMs);
        return true;
    }
    bool over() const { return seen && Clock::now() >= deadline; }
    int waitCap(int ms) const { return seen ? std::min(ms, millisUntil(deadline)) : ms; }
};

// Passes what `out` holds on to TLS, once. False when the pump must end with
// "tls_write_error": TLS failed, or nothing could be written for
// `stallTimeoutMs`. Sets `progress` when bytes moved and `wantWrite` when TLS
// waits for the socket to take more.
bool writePendingToTls(SSL* ssl, PumpBuffer& out, PumpResult& result, Clock::time_point& lastTlsWrite,
                       int stallTimeoutMs, bool& progress, bool& wantWrite) {
    if (out.empty()) {
        lastTlsWrite = Clock::now();
        return true;
    }
    const int n = SSL_write(ssl, out.data(), static_cast<int>(out.left()));
    if (n > 0) {
        out.offset += static_cast<size_t>(n);
        result.bytesLocalToTls += static_cast<uint64_t>(n);
        lastTlsWrite = Clock::now();
        progress = true;
        return true;
    }
    const int events = tlsWantEvents(ssl, n);
    if (events == POLLOUT) wantWrite = true;
    else if (events != POLLIN) return false;
    return Clock::now() - lastTlsWrite < std::chrono::milliseconds(stallTimeoutMs);
}

}  // namespace

PumpResult pumpStreamChannel(LocalStream& stream, TlsConnection& tls, size_t bufferSize, const StopSignal& stop,
                             int stopGraceMs, int stallTimeoutMs) {
    PumpResult result;
    SSL* ssl = tls.ssl();
    PumpBuffer out(bufferSize);  // local -> TLS
    PumpBuffer in(bufferSize);   // TLS -> local
    bool localInputClosed = false;
    bool tlsEnded = false;
    bool finishSent = false;
    StopGrace grace;
    Clock::time_point lastTlsWrite = Clock::now();
    const int wakeFd = stream.wakeFd();
    // False once TLS said it has nothing to read, until the next wait reports
    // the socket: saves a failing read after every step of an exchange.
    bool tlsMayRead = true;
    // Armed once per wake-up, not per pass: every change after this reaches
    // the next wait, so the local side signals once per wait however many
    // writes it makes in between. Held (no signals) while the pump spins.
    stream.armWake();
    bool held = false;
    Clock::time_point lastTraffic = Clock::now();

    for (;;) {
        if (grace.begins(stop, stopGraceMs) && !finishSent) {
            // No further request is taken: the local side answers what it
            // holds and then sees the end of its input.
            stream.finishWrite();
            finishSent = true;
        }
        if (grace.over()) {
            result.reason = "stopped";
            break;
        }
        bool progress = false;
        bool wantWrite = false;

        if (out.empty()) {
            const int32_t k = stream.read(out.bytes.data(), out.bytes.size());
            if (k < 0) {
                result.reason = "local_eof";
                break;
            }
            if (k > 0) {
                out.reset(static_cast<size_t>(k));
                progress = true;
            }
        }
        if (!writePendingToTls(ssl, out, result, lastTlsWrite, stallTimeoutMs, progress, wantWrite)) {
            result.reason = "tls_write_error";
            break;
        }
        if (!in.empty()) {
            if (localInputClosed || grace.seen) {
                in.reset(0);
            } else {
                const int32_t k = stream.write(in.data(), in.left());
                if (k > 0) {
                    in.offset += static_cast<size_t>(k);
                    result.bytesTlsToLocal += static_cast<uint64_t>(k);
                    progress = true;
                } else if (k < 0) {
                    localInputClosed = true;
                    in.reset(0);
                }
            }
        }
        if (in.empty() && !tlsEnded && (tlsMayRead || SSL_has_pending(ssl))) {
            const int n = SSL_read(ssl, in.bytes.data(), static_cast<int>(in.bytes.size()));
            if (n > 0) {
                in.reset(static_cast<size_t>(n));
                lastTraffic = Clock::now();
                continue;
            }
            const int events = tlsWantEvents(ssl, n);
            if (events == POLLIN) tlsMayRead = false;
            else if (events == POLLOUT) wantWrite = true;
            else tlsEnded = true;
        }
        if (tlsEnded && in.empty() && !finishSent) {
            stream.finishWrite();
            finishSent = true;
            continue;
        }
        if (progress) lastTraffic = Clock::now();
        if (progress || (in.empty() && !tlsEnded && SSL_has_pending(ssl))) continue;

        // Nothing moved: shortly after traffic look again at once (the wait
        // below only checks the sockets); otherwise wait for the relay, the
        // local side or the stop.
        const bool spin = wakeFd >= 0 && Clock::now() - lastTraffic < kSpinAfterTraffic;
        if (spin && !held) {
            stream.holdWake();
            held = true;
        } else if (!spin && held) {
            // Changes while held signalled nothing: arm, then look once more
            // before sleeping.
            stream.armWake();
            held = false;
            continue;
        }
        pollfd p[3];
        nfds_t count = 0;
        short tlsEvents = 0;
        if (!tlsEnded && in.empty()) tlsEvents |= POLLIN;
        if (wantWrite) tlsEvents |= POLLOUT;
        p[count++] = {tls.fd(), tlsEvents, 0};
        const nfds_t wakeSlot = count;
        if (wakeFd >= 0) p[count++] = {wakeFd, POLLIN, 0};
        if (!grace.seen) p[count++] = {stop.fd(), POLLIN, 0};
        int waitMs = wakeFd >= 0 ? kIdleWaitMs : 10;
        if (!out.empty()) waitMs = std::min(waitMs, std::max(1, stallTimeoutMs));
        waitMs = spin ? 0 : grace.waitCap(waitMs);
        if (::poll(p, count, waitMs) < 0 && errno != EINTR) {
            result.reason = "select_error";
            break;
        }
        if (p[0].revents != 0) tlsMayRead = true;
        if (wakeFd >= 0 && (p[wakeSlot].revents & POLLIN)) stream.drainWake();
        if (!held) stream.armWake();
    }
    stream.close();
    return result;
}

PumpResult pumpSocketChannel(int localFd, TlsConnection& tls, size_t bufferSize, const StopSignal& stop,
                             int stopGraceMs, int stallTimeoutMs) {
    PumpResult result;
    SSL* ssl = tls.ssl();
    PumpBuffer out(bufferSize);  // local -> TLS
    PumpBuffer in(bufferSize);   // TLS -> local
    StopGrace grace;
    Clock::time_point lastTlsWrite = Clock::now();
    Clock::time_point lastLocalWrite = Clock::now();

    for (;;) {
        if (grace.begins(stop, stopGraceMs)) {
            // The local server answers what it holds, then sees the end.
            ::shutdown(localFd, SHUT_WR);
            in.reset(0);
        }
        if (grace.over()) {
            result.reason = "stopped";
            break;
        }
        bool progress = false;
        bool wantTlsWrite = false;
        bool wantLocalWrite = false;

        if (out.empty()) {
            const ssize_t k = ::recv(localFd, out.bytes.data(), out.bytes.size(), 0);
            if (k == 0 || (k < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                result.reason = "local_eof";
                break;
            }
            if (k > 0) {
                out.reset(static_cast<size_t>(k));
                progress = true;
            }
        }
        if (!writePendingToTls(ssl, out, result, lastTlsWrite, stallTimeoutMs, progress, wantTlsWrite)) {
            result.reason = "tls_write_error";
            break;
        }
        if (!in.empty()) {
            const ssize_t k = ::send(localFd, in.data(), in.left(), MSG_NOSIGNAL);
            if (k > 0) {
                in.offset += static_cast<size_t>(k);
                result.bytesTlsToLocal += static_cast<uint64_t>(k);
                lastLocalWrite = Clock::now();
                progress = true;
            } else if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                wantLocalWrite = true;
                if (Clock::now() - lastLocalWrite >= std::chrono::milliseconds(stallTimeoutMs)) {
                    result.reason = "local_write_error";
                    break;
                }
            } else {
                result.reason = "local_write_error";
                break;
            }
        } else {
            lastLocalWrite = Clock::now();
        }
        if (in.empty() && !grace.seen) {
            const int n = SSL_read(ssl, in.bytes.data(), static_cast<int>(in.bytes.size()));
            if (n > 0) {
                in.reset(static_cast<size_t>(n));
                continue;
            }
            const int events = tlsWantEvents(ssl, n);
            if (events == POLLOUT) wantTlsWrite = true;
            else if (events == 0) {
                result.reason = "tls_eof";
                break;
            } else if (events < 0) {
                const bool cleanClose = SSL_get_error(ssl, n) == SSL_ERROR_SYSCALL && errno == 0;
                result.reason = cleanClose ? "tls_eof" : "tls_read_error";
                break;
            }
        }
        if (progress || (in.empty() && !grace.seen && SSL_has_pending(ssl))) continue;

        pollfd p[3];
        short localEvents = 0;
        if (out.empty()) localEvents |= POLLIN;
        if (wantLocalWrite) localEvents |= POLLOUT;
        short tlsEvents = 0;
        if (in.empty() && !grace.seen) tlsEvents |= POLLIN;
        if (wantTlsWrite) tlsEvents |= POLLOUT;
        nfds_t count = 0;
        p[count++] = {localFd, localEvents, 0};
        p[count++] = {tls.fd(), tlsEvents, 0};
        if (!grace.seen) p[count++] = {stop.fd(), POLLIN, 0};
        int waitMs = -1;
        if (wantTlsWrite || wantLocalWrite) waitMs = std::max(1, stallTimeoutMs);
        if (grace.seen) waitMs = grace.waitCap(waitMs < 0 ? kIdleWaitMs : waitMs);
        if (::poll(p, count, waitMs) < 0 && errno != EINTR) {
            result.reason = "select_error";
            break;
        }
    }
    return result;
}

int connectLocalPort(int port, int timeoutMs, std::string* error) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        if (error) *error = "socket() failed";
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    const int err = errno;
    if (err != EINPROGRESS && err != EAGAIN) {
        if (error) *error = "connect(local) failed immediately: " + std::to_string(winsockErrorFromErrno(err));
        ::close(fd);
        return -1;
    }
    const int ready = waitSocket(fd, POLLOUT, timeoutMs, nullptr);
    if (ready > 0) {
        int soError = 0;
        socklen_t len = sizeof soError;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) == 0) {
            if (soError == 0) return fd;
            if (error) *error = "so_error: " + std::to_string(winsockErrorFromErrno(soError));
        } else if (error) {
            error->clear();
        }
    } else if (error) {
        *error = ready == 0 ? "connect(local) timeout" : "select() failed";
    }
    ::close(fd);
    return -1;
}

std::shared_ptr<LocalStream> makeMemoryLocalStream(const std::function<void(Peer*)>& serve) {
    auto channel = std::make_shared<MemoryChannel>(kInboundBytes, kOutboundBytes, kMemoryReadTimeoutSeconds);
    auto peer = std::make_shared<MemoryPeer>(channel);
    try {
        std::thread([peer, serve] {
            markRelayThread();
            MemoryServeThreadMark counted;
            try {
                serve(peer.get());
            } catch (const std::exception& e) {
                logMessage(2, "[RTC] 메모리 채널 처리 중 예외: %s", e.what());
            } catch (...) {
                logMessage(2, "[RTC] 메모리 채널 처리 중 알 수 없는 예외");
            }
            peer->close();
        }).detach();
    } catch (const std::system_error& e) {
        logMessage(2, "[RTC] 메모리 채널 스레드 시작 실패: %s", e.what());
        return nullptr;
    }
    return channel;
}

void handleDataChannel(const std::shared_ptr<RelayContext>& context, uint64_t requestId) {
    const RtcConfig& c = context->config;
    const StopSignal& stop = context->stop;
    std::string error;
    std::unique_ptr<TlsConnection> tls =
        tlsConnect(context->ctx.get(), c.server, c.port, c.timeout_ms, c.io_timeout_ms, &stop, &error);
    if (!tls) {
        rtcLogRepeatable(context->failures, "WARN", "DATA_CHANNEL_FAIL", "connect_tls_failed: " + error);
        return;
    }
    if (!tlsWriteAll(*tls, "DATA_CHANNEL_INIT request_id=" + std::to_string(requestId) + "\n", c.io_timeout_ms, &stop,
                     &error)) {
        rtcLogRepeatable(context->failures, "WARN", "DATA_CHANNEL_FAIL", "write_init_failed: " + error);
        return;
    }
    // One read takes every byte the socket holds, not a record header and
    // then its body: half the system calls for each small request.
    SSL_set_read_ahead(tls->ssl(), 1);
    PumpResult result;
    if (c.local_mode == "memory" && c.local_stream_factory) {
        std::shared_ptr<LocalStream> stream = c.local_stream_factory();
        if (!stream) {
            rtcLogRepeatable(context->failures, "WARN", "DATA_CHANNEL_FAIL", "local_stream_factory returned null");
            return;
        }
        result = pumpStreamChannel(*stream, *tls, kPumpBufferBytes, stop, c.stop_grace_ms, c.io_timeout_ms);
    } else {
        const int local = connectLocalPort(c.local_port, c.timeout_ms, &error);
        if (local < 0) {
            rtcLogRepeatable(context->failures, "WARN", "DATA_CHANNEL_FAIL", "connect_local_failed: " + error);
            return;
        }
        uint16_t registered = 0;
        if (c.on_local_port) {
            sockaddr_in self{};
            socklen_t len = sizeof self;
            if (::getsockname(local, reinterpret_cast<sockaddr*>(&self), &len) == 0 && ntohs(self.sin_port) != 0) {
                registered = ntohs(self.sin_port);
                c.on_local_port(registered, true);
            }
        }
        result = pumpSocketChannel(local, *tls, kPumpBufferBytes, stop, c.stop_grace_ms, c.io_timeout_ms);
        ::close(local);
        // Only now: until the close, the server may still read this port's
        // request bytes.
        if (registered != 0) c.on_local_port(registered, false);
    }
    tls->closeNotify();
    tls.reset();
    rtcLogEvent("INFO", "DATA_CHANNEL_DONE",
                "rid=" + std::to_string(requestId) + " bytes_local_to_tls=" + std::to_string(result.bytesLocalToTls) +
                    " bytes_tls_to_local=" + std::to_string(result.bytesTlsToLocal) + " reason=" + result.reason);
}

}  // namespace mivrelable::rtc
