// An accepted TCP connection as a Peer, with buffered socket streams.
//
// The peer and its two streams share one closed state. Peer::close (from any
// thread) marks the connection closed and shuts the socket down, which wakes a
// read blocked on it; the descriptor itself is released only when the peer is
// destroyed, so no other thread can ever see it reused.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "net/streams.h"

class PeerImpl;

class SocketInputStream : public InputStream {
public:
    explicit SocketInputStream(PeerImpl& peer);
    SocketInputStream(const SocketInputStream&) = delete;
    SocketInputStream& operator=(const SocketInputStream&) = delete;

    int read(void* buffer, int size) override;
    int readLine(std::string& line, size_t maxBytes) override;
    void close() override;

private:
    // Refills the read-ahead buffer. False at the end of the stream.
    bool fill();
    // Waits for data within the receive time-out and receives into `buffer`.
    // Returns the byte count, 0 at the end of the stream; throws IOException.
    size_t receive(void* buffer, size_t size);

    PeerImpl& peer_;
    // Bytes received but not yet handed out: the head of the next request may
    // arrive together with the end of this one.
    std::vector<char> buffer_;
    size_t begin_ = 0;
    size_t end_ = 0;
};

class SocketOutputStream : public OutputStream {
public:
    explicit SocketOutputStream(PeerImpl& peer) : peer_(peer) {}
    SocketOutputStream(const SocketOutputStream&) = delete;
    SocketOutputStream& operator=(const SocketOutputStream&) = delete;

    int write(const void* data, int size) override;
    void flush() override {}
    void close() override;

private:
    PeerImpl& peer_;
};

class PeerImpl : public Peer {
public:
    // Takes ownership of the connected socket `fd`: turns on TCP_NODELAY and
    // reads the remote endpoint. Reads give up after `receiveTimeoutMs`
    // (negative: never).
    PeerImpl(int fd, int receiveTimeoutMs);
    ~PeerImpl() override;
    PeerImpl(const PeerImpl&) = delete;
    PeerImpl& operator=(const PeerImpl&) = delete;

    void close() override;
    InputStream* getInputStream() override { return &input_; }
    OutputStream* getOutputStream() override { return &output_; }
    uint32_t getId() const override { return static_cast<uint32_t>(fd_); }
    std::string getAddress() const override { return address_; }
    uint16_t getPort() const override { return port_; }

    int fd() const { return fd_; }
    int receiveTimeoutMs() const { return receiveTimeoutMs_; }
    bool isClosed() const { return closed_.load(std::memory_order_acquire); }

private:
    const int fd_;
    const int receiveTimeoutMs_;
    std::atomic<bool> closed_{false};
    std::string address_;
    uint16_t port_ = 0;
    SocketInputStream input_;
    SocketOutputStream output_;
};
