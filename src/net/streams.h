// The byte streams through which the HTTP layer talks to one client
// connection. Sockets (socket_peer.h) and the relay's in-memory channels
// implement them, so one request loop serves both.
//
// A peer's streams are used by its connection thread only; Peer::close is the
// one operation another thread may call, and it must wake a read blocked on
// the same connection.
#pragma once

#include <cstddef>
#include <cstdint>
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
    // Throws like read().
    virtual int readLine(std::string& line, size_t maxBytes = std::numeric_limits<size_t>::max()) = 0;

    // Closes the connection the stream reads from.
    virtual void close() = 0;
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
};

class Peer {
public:
    virtual ~Peer() = default;

    // Ends the connection; later reads and writes fail with -1. Calling it
    // again does nothing. Safe to call from any thread.
    virtual void close() = 0;

    // The streams, owned by the peer and valid as long as it is.
    virtual InputStream* getInputStream() = 0;
    virtual OutputStream* getOutputStream() = 0;

    // A number that names the connection in log lines.
    virtual uint32_t getId() const = 0;
    // The remote address ("" when unknown) and port (0 where there is none).
    virtual std::string getAddress() const = 0;
    virtual uint16_t getPort() const = 0;
};
