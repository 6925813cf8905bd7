// The byte streams through which the HTTP layer talks to one client
// connection. Sockets (socket_peer.h) and the relay's in-memory channels
// implement them, so one request loop serves both.
//
// A peer's streams are used by its connection thread only; Peer::close is the
// one operation another thread may call, and it must wake a read blocked on
// the same connection.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>

class InputStream {
public:
    virtual ~InputStream() = default;

    // Waits until at least one byte is available, stores up to `size` bytes
    // and returns their number; -1 at the end of the stream. Throws
    // IOException on failure, on the receive time-out (10060) and after close
    // (-1).
    virtual int read(void* buffer, int size) = 0;

    // Appends the bytes of the next line to `line`, up to and not including the
    // line feed, dropping every carriage return wherever it stands; returns the
    // number of bytes appended, or -1 when the stream ended before any byte.
    // Stops early, without consuming further bytes, once more than `maxBytes`
    // bytes were appended, so callers recognise an over-long line by its size.
    // When `strayCarriageReturnAt` is given it receives the number of bytes
    // appended before the first carriage return that did not end the line
    // (std::string::npos when there was none), so a parser can refuse a bare
    // carriage return where the protocol forbids one. Throws like read().
    virtual int readLine(std::string& line, size_t maxBytes = std::numeric_limits<size_t>::max(),
                         size_t* strayCarriageReturnAt = nullptr) = 0;

    // Closes the connection the stream reads from.
    virtual void close() = 0;

    // Waits until a byte can be read without blocking or the stream has
    // ended; throws like read(), the receive time-out included. Streams that
    // cannot wait return at once (the default).
    virtual void waitForData() {}

    // From now on a read that would still wait at `deadline` fails with the
    // time-out (10060), whatever is left of the receive time-out;
    // clearDeadline() lifts it. Bounds a whole request head or a slow body.
    // The default ignores deadlines.
    virtual void setDeadline(std::chrono::steady_clock::time_point deadline) { (void)deadline; }
    virtual void clearDeadline() {}
};

class OutputStream {
public:
    virtual ~OutputStream() = default;

    // Sends all `size` bytes before returning (fewer only when the connection
    // stops taking data) and returns the number sent. Throws IOException on
    // failure and after close (-1).
    virtual int write(const void* data, int size) = 0;

    // Writes are not buffered: nothing to do.
    virtual void flush() = 0;

    // Closes the connection the stream writes to.
    virtual void close() = 0;

    // While set, a write that waits for the client to take data also gives
    // up (IOException 10060) once `abandon` returns true; it is asked a few
    // times a second. A streaming handler passes its instance's stop flag, so
    // a stop or unload frees a writer blocked on a client that stopped
    // reading. An empty function clears it. The default ignores it (streams
    // whose writes never wait on the client).
    virtual void setAbandonCheck(std::function<bool()> abandon) { (void)abandon; }
};

class Peer {
public:
    virtual ~Peer() = default;

    // Ends the connection; later reads and writes fail with -1. Calling it
    // again does nothing. Safe to call from any thread.
    virtual void close() = 0;

    // Ends the connection after a reply sent while the client may still be
    // sending its request: stops the sending side (the reply is complete),
    // reads and discards what the client still sends for at most `maxMs` and
    // `maxBytes`, then closes. Closing at once with unread bytes would reset
    // the connection, and the client would lose the reply. Connection thread
    // only. The default closes at once.
    virtual void closeGracefully(int maxMs, size_t maxBytes) {
        (void)maxMs;
        (void)maxBytes;
        close();
    }

    // The streams, owned by the peer and valid as long as it is.
    virtual InputStream* getInputStream() = 0;
    virtual OutputStream* getOutputStream() = 0;

    // Whether the connection waits for a request and holds none of one: the
    // HTTP loop says so, and at the connection cap the server closes such a
    // connection first. Safe to call from any thread.
    virtual void setIdle(bool idle) { (void)idle; }
    virtual bool isIdle() const { return false; }

    // A number that names the connection in log lines.
    virtual uint32_t getId() const = 0;
    // The remote address ("" when unknown) and port (0 where there is none).
    virtual std::string getAddress() const = 0;
    virtual uint16_t getPort() const = 0;
};
