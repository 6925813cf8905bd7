#include "net/socket_peer.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>

#include "net/http_request.h"
#include "net/io_exception.h"
#include "platform/socket_errors.h"
#include "net/line_reader.h"
#include "platform/tcp_socket.h"

namespace {

constexpr size_t kReadAhead = 16384;
// How often a blocked write asks its abandon check.
constexpr int kAbandonPollMs = 200;
// How long a write must have waited before the abandon check may end it.
constexpr int kAbandonGraceMs = 1000;
const char kClosedText[] = "already closed socket";

[[noreturn]] void throwClosed() { throw IOException(sockerr::kClosed, kClosedText); }

}  // namespace

namespace {
// The most a waiting connection buffers: a little more than the largest head
// the parser takes, so a head that large is handed on (and refused).
constexpr size_t kMaxHeadBuffer = 80 * 1024;
// The first size of a waiting connection's buffer; it doubles up to the above.
constexpr size_t kFirstHeadBuffer = 2048;
}  // namespace

SocketInputStream::SocketInputStream(PeerImpl& peer)
    : peer_(peer), scanner_(RequestLimits().maxLineBytes, RequestLimits().maxHeaderLines,
                            RequestLimits().maxHeadBytes) {}

void SocketInputStream::startHeadScan() {
    scanner_.reset();
    scanned_ = begin_;
}

void SocketInputStream::scanBuffered() {
    if (scanned_ < begin_) scanned_ = begin_;
    if (scanned_ < end_) scanned_ += scanner_.feed(buffer_.data() + scanned_, end_ - scanned_);
}

bool SocketInputStream::bufferedHeadComplete() {
    scanBuffered();
    return scanner_.complete();
}

HeadProgress SocketInputStream::collectHead() {
    if (peer_.isClosed()) return HeadProgress::Closed;
    scanBuffered();
    while (!scanner_.complete()) {
        // Room at the end: move the unread bytes to the front, then grow.
        if (end_ == buffer_.size() && begin_ > 0) {
            std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
            end_ -= begin_;
            scanned_ -= begin_;
            begin_ = 0;
        }
        if (end_ == buffer_.size()) {
            if (buffer_.size() >= kMaxHeadBuffer) return HeadProgress::Complete;  // the parser refuses it
            buffer_.resize(std::min(kMaxHeadBuffer, std::max(kFirstHeadBuffer, buffer_.size() * 2)));
        }
        const ssize_t n = receiveSome(peer_.fd(), buffer_.data() + end_, buffer_.size() - end_, true);
        if (n > 0) {
            end_ += static_cast<size_t>(n);
            scanBuffered();
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return HeadProgress::Waiting;
        return HeadProgress::Closed;
    }
    return HeadProgress::Complete;
}

void SocketInputStream::releaseEmptyBuffer() {
    if (begin_ < end_) return;
    std::vector<char>().swap(buffer_);
    begin_ = end_ = scanned_ = 0;
}

void SocketInputStream::awaitReadable() {
    if (peer_.isClosed()) throwClosed();
    int waitMs = peer_.receiveTimeoutMs();
    if (deadline_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              *deadline_ - std::chrono::steady_clock::now())
                              .count();
        const int leftMs = left > 0 ? static_cast<int>(std::min<long long>(left, 1 << 30)) : 0;
        if (waitMs < 0 || leftMs < waitMs) waitMs = leftMs;
    }
    const int ready = waitReadable(peer_.fd(), waitMs);
    if (ready == 0) throw IOException(sockerr::kTimedOut, std::strerror(ETIMEDOUT));
    if (ready < 0) {
        const int err = errno;
        if (peer_.isClosed()) throwClosed();
        throw IOException(winsockErrorFromErrno(err), std::strerror(err));
    }
}

void SocketInputStream::waitForData() {
    if (peer_.isClosed()) throwClosed();
    if (begin_ < end_) return;
    awaitReadable();
}

size_t SocketInputStream::receive(void* buffer, size_t size) {
    awaitReadable();
    const ssize_t n = receiveSome(peer_.fd(), buffer, size);
    if (n > 0) return static_cast<size_t>(n);
    // A shutdown from Peer::close looks like an orderly end: report it as the
    // closed connection it is.
    if (peer_.isClosed()) throwClosed();
    if (n == 0) return 0;
    const int err = errno;
    throw IOException(winsockErrorFromErrno(err), std::strerror(err));
}

bool SocketInputStream::fill() {
    if (buffer_.size() < kReadAhead) buffer_.resize(kReadAhead);
    begin_ = 0;
    scanned_ = 0;
    end_ = receive(buffer_.data(), buffer_.size());
    return end_ > 0;
}

int SocketInputStream::read(void* buffer, int size) {
    if (peer_.isClosed()) throwClosed();
    if (size <= 0) return 0;
    const size_t wanted = static_cast<size_t>(size);
    if (begin_ < end_) {
        const size_t n = std::min(wanted, end_ - begin_);
        std::memcpy(buffer, buffer_.data() + begin_, n);
        begin_ += n;
        return static_cast<int>(n);
    }
    // Large reads (request bodies) go straight into the caller's buffer.
    if (wanted >= kReadAhead) {
        const size_t n = receive(buffer, wanted);
        return n == 0 ? -1 : static_cast<int>(n);
    }
    if (!fill()) return -1;
    const size_t n = std::min(wanted, end_);
    std::memcpy(buffer, buffer_.data(), n);
    begin_ = n;
    return static_cast<int>(n);
}

int SocketInputStream::readLine(std::string& line, size_t maxBytes, size_t* strayCarriageReturnAt) {
    if (peer_.isClosed()) throwClosed();
    auto nextByte = [this]() -> int {
        if (begin_ == end_ && !fill()) return -1;
        return static_cast<unsigned char>(buffer_[begin_++]);
    };
    return readLineBytes(nextByte, line, maxBytes, strayCarriageReturnAt);
}

void SocketInputStream::close() { peer_.close(); }

void SocketOutputStream::awaitWritable() {
    using Clock = std::chrono::steady_clock;
    const int stallMs = peer_.sendStallTimeoutMs();
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(stallMs < 0 ? 0 : stallMs);
    for (;;) {
        if (peer_.isClosed()) throwClosed();
        // A client that is merely slow gets a moment before a stop cuts its
        // reply short.
        if (abandon_ && Clock::now() - start >= std::chrono::milliseconds(kAbandonGraceMs) && abandon_())
            throw IOException(sockerr::kTimedOut, "write abandoned: the reply was stopped");
        int waitMs = abandon_ ? kAbandonPollMs : -1;
        if (stallMs >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) throw IOException(sockerr::kTimedOut, "write stalled: the client takes no data");
            if (waitMs < 0 || left < waitMs) waitMs = static_cast<int>(left);
        }
        const int ready = waitWritable(peer_.fd(), waitMs);
        if (ready > 0) return;
        if (ready < 0) {
            const int err = errno;
            if (peer_.isClosed()) throwClosed();
            throw IOException(winsockErrorFromErrno(err), std::string("write failed: ") + std::strerror(err));
        }
    }
}

int SocketOutputStream::write(const void* data, int size) {
    if (peer_.isClosed()) throwClosed();
    const char* bytes = static_cast<const char*>(data);
    int sent = 0;
    while (sent < size) {
        const ssize_t n = sendSome(peer_.fd(), bytes + sent, static_cast<size_t>(size - sent), true);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            awaitWritable();
            continue;
        }
        if (n < 0) {
            const int err = errno;
            if (peer_.isClosed()) throwClosed();
            throw IOException(winsockErrorFromErrno(err), std::string("write failed: ") + std::strerror(err));
        }
        if (n == 0) break;
        sent += static_cast<int>(n);
    }
    return sent;
}

void SocketOutputStream::close() { peer_.close(); }

PeerImpl::PeerImpl(int fd, int receiveTimeoutMs, int sendStallTimeoutMs)
    : fd_(fd), receiveTimeoutMs_(receiveTimeoutMs), sendStallTimeoutMs_(sendStallTimeoutMs), input_(*this),
      output_(*this) {
    setNoDelay(fd_);
    socketRemoteEndpoint(fd_, &address_, &port_);
}

PeerImpl::~PeerImpl() { closeSocket(fd_); }

void PeerImpl::closeGracefully(int maxMs, size_t maxBytes) {
    if (isClosed()) return;
    shutdownSocketSend(fd_);
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(maxMs);
    char discard[16384];
    size_t drained = 0;
    while (drained < maxBytes && !isClosed()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || waitReadable(fd_, static_cast<int>(left)) != 1) break;
        const ssize_t n = receiveSome(fd_, discard, sizeof discard);
        if (n <= 0) break;
        drained += static_cast<size_t>(n);
    }
    close();
}

bool PeerImpl::isIdle() const {
    return idle_.load(std::memory_order_acquire) && !isClosed() && waitReadable(fd_, 0) == 0;
}

void PeerImpl::close() {
    if (!closed_.exchange(true, std::memory_order_acq_rel)) shutdownSocket(fd_);
}
