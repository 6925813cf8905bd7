// An accepted TCP connection as a Peer, with buffered socket streams.
//
// The peer and its two streams share one closed state. Peer::close (from any
// thread) marks the connection closed and shuts the socket down, which wakes a
// read blocked on it; the descriptor itself is released only when the peer is
// destroyed, so no other thread can ever see it reused.
#pragma once

#include <atomic>
#include <functional>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/head_scanner.h"
#include "net/streams.h"

class PeerImpl;

// What a look at the socket without waiting found about the next request.
enum class HeadProgress {
    Waiting,   // its head is not complete yet
    Complete,  // the parser can read its head (or refuse it) without waiting
    Closed,    // the client closed or the socket failed before that
};

class SocketInputStream : public InputStream {
public:
    explicit SocketInputStream(PeerImpl& peer);
    SocketInputStream(const SocketInputStream&) = delete;
    SocketInputStream& operator=(const SocketInputStream&) = delete;

    int read(void* buffer, int size) override;
    int readLine(std::string& line, size_t maxBytes, size_t* strayCarriageReturnAt) override;
    void close() override;
    void waitForData() override;
    void setDeadline(std::chrono::steady_clock::time_point deadline) override { deadline_ = deadline; }
    void clearDeadline() override { deadline_.reset(); }

    // Waiting for the next request without a thread. The owner of the
    // connection (the server's poller while the connection waits, then the
    // thread that serves it) calls these; never two threads at once.
    //
    // Starts looking for the next request's head in what is buffered.
    void startHeadScan();
    // Moves what the client has sent into the read-ahead buffer without
    // waiting (at most a little more than the largest head the parser
    // takes) and tells whether the head is complete.
    HeadProgress collectHead();
    // Whether the head is complete in what is already buffered; reads
    // nothing from the socket.
    bool bufferedHeadComplete();
    // Whether any byte of the head has arrived.
    bool headStarted() const { return scanner_.started(); }
    // Gives the read-ahead buffer back while it holds nothing, so a waiting
    // connection costs little memory.
    void releaseEmptyBuffer();

private:
    // Feeds the buffered bytes not yet looked at to the scanner.
    void scanBuffered();
    // Waits until the socket is readable within the receive time-out and the
    // deadline; throws IOException otherwise.
    void awaitReadable();
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
    size_t scanned_ = 0;  // buffer_ index up to which the scanner has looked
    HeadScanner scanner_;
    std::optional<std::chrono::steady_clock::time_point> deadline_;
};

class SocketOutputStream : public OutputStream {
public:
    explicit SocketOutputStream(PeerImpl& peer) : peer_(peer) {}
    SocketOutputStream(const SocketOutputStream&) = delete;
    SocketOutputStream& operator=(const SocketOutputStream&) = delete;

    // Fails with 10060 when the client takes no byte for the peer's send
    // stall time-out, or as soon as the abandon check says so: a client that
    // stops reading counts as gone.
    int write(const void* data, int size) override;
    void flush() override {}
    void close() override;
    void setAbandonCheck(std::function<bool()> abandon) override { abandon_ = std::move(abandon); }

private:
    // Waits until the socket takes data; throws IOException on a stall.
    void awaitWritable();

    PeerImpl& peer_;
    std::function<bool()> abandon_;
};

class PeerImpl : public Peer {
public:
    // Takes ownership of the connected socket `fd`: turns on TCP_NODELAY and
    // reads the remote endpoint. Reads give up after `receiveTimeoutMs`,
    // writes after `sendStallTimeoutMs` without progress (negative: never).
    PeerImpl(int fd, int receiveTimeoutMs, int sendStallTimeoutMs = -1);
    ~PeerImpl() override;
    PeerImpl(const PeerImpl&) = delete;
    PeerImpl& operator=(const PeerImpl&) = delete;

    void close() override;
    void closeGracefully(int maxMs, size_t maxBytes) override;
    void setIdle(bool idle) override { idle_.store(idle, std::memory_order_release); }
    // Idle: marked so by its reader and with no byte of a request (nor the
    // client's close) waiting on the socket. A reader that has not reached
    // its read yet must not make a request that already arrived look idle.
    bool isIdle() const override;
    InputStream* getInputStream() override { return &input_; }
    OutputStream* getOutputStream() override { return &output_; }
    uint32_t getId() const override { return static_cast<uint32_t>(fd_); }
    std::string getAddress() const override { return address_; }
    uint16_t getPort() const override { return port_; }

    int fd() const { return fd_; }
    int receiveTimeoutMs() const { return receiveTimeoutMs_; }
    int sendStallTimeoutMs() const { return sendStallTimeoutMs_; }
    bool isClosed() const { return closed_.load(std::memory_order_acquire); }

private:
    const int fd_;
    const int receiveTimeoutMs_;
    const int sendStallTimeoutMs_;
    std::atomic<bool> closed_{false};
    std::atomic<bool> idle_{false};
    std::string address_;
    uint16_t port_ = 0;
    SocketInputStream input_;
    SocketOutputStream output_;
};
