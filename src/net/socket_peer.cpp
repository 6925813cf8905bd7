#include "net/socket_peer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "net/io_exception.h"
#include "platform/socket_errors.h"
#include "platform/tcp_socket.h"

namespace {

constexpr size_t kReadAhead = 16384;
const char kClosedText[] = "already closed socket";

[[noreturn]] void throwClosed() { throw IOException(sockerr::kClosed, kClosedText); }

}  // namespace

SocketInputStream::SocketInputStream(PeerImpl& peer) : peer_(peer), buffer_(kReadAhead) {}

size_t SocketInputStream::receive(void* buffer, size_t size) {
    if (peer_.isClosed()) throwClosed();
    const int ready = waitReadable(peer_.fd(), peer_.receiveTimeoutMs());
    if (ready == 0) throw IOException(sockerr::kTimedOut, std::strerror(ETIMEDOUT));
    if (ready < 0) {
        const int err = errno;
        if (peer_.isClosed()) throwClosed();
        throw IOException(winsockErrorFromErrno(err), std::strerror(err));
    }
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
    begin_ = 0;
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
    if (wanted >= buffer_.size()) {
        const size_t n = receive(buffer, wanted);
        return n == 0 ? -1 : static_cast<int>(n);
    }
    if (!fill()) return -1;
    const size_t n = std::min(wanted, end_);
    std::memcpy(buffer, buffer_.data(), n);
    begin_ = n;
    return static_cast<int>(n);
}

int SocketInputStream::readLine(std::string& line, size_t maxBytes) {
    if (peer_.isClosed()) throwClosed();
    size_t count = 0;
    for (;;) {
        if (begin_ == end_ && !fill()) return count > 0 ? static_cast<int>(count) : -1;
        while (begin_ < end_) {
            const char c = buffer_[begin_++];
            if (c == '\n') return static_cast<int>(count);
            if (c == '\r') continue;
            line.push_back(c);
            if (++count > maxBytes) return static_cast<int>(count);
        }
    }
}

void SocketInputStream::close() { peer_.close(); }

int SocketOutputStream::write(const void* data, int size) {
    if (peer_.isClosed()) throwClosed();
    const char* bytes = static_cast<const char*>(data);
    int sent = 0;
    while (sent < size) {
        const ssize_t n = sendSome(peer_.fd(), bytes + sent, static_cast<size_t>(size - sent));
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

PeerImpl::PeerImpl(int fd, int receiveTimeoutMs)
    : fd_(fd), receiveTimeoutMs_(receiveTimeoutMs), input_(*this), output_(*this) {
    setNoDelay(fd_);
    socketRemoteEndpoint(fd_, &address_, &port_);
}

PeerImpl::~PeerImpl() { closeSocket(fd_); }

void PeerImpl::close() {
    if (!closed_.exchange(true, std::memory_order_acq_rel)) shutdownSocket(fd_);
}
