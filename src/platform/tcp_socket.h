// IPv4 TCP sockets for the server side, and the blocking calls its streams
// use. Every descriptor is close-on-exec; sends never raise SIGPIPE. Failures
// come back as -1 with errno set (or as false with a text), never as
// exceptions, so callers choose their own error type.
// All functions are safe for concurrent use by multiple threads; a descriptor
// may be shut down from another thread while one thread waits on it, but only
// its owner closes it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

// Resolves `host` to an IPv4 address in network byte order. Dotted-quad text
// is taken as it is; any other text is looked up as a host name and its first
// IPv4 address is used. Returns false and sets *error when neither works.
bool resolveIpv4(const std::string& host, uint32_t* address, std::string* error);

// Opens a listening IPv4 TCP socket with SO_REUSEADDR on `address` (network
// byte order) and `port` (0 picks a free one). Returns the descriptor, or -1
// with *error set to "socket() failed: ", "setsockopt() failed: ",
// "bind() failed: " or "listen() failed: " followed by the system's text; the
// half-made socket is closed then.
int openListeningSocket(uint32_t address, uint16_t port, int backlog, std::string* error);

// Opens an IPv4 TCP connection (close-on-exec) to `address` (network byte
// order) and `port`, waiting at most `timeoutMs` for it to be made. Returns
// the connected, blocking descriptor, or -1 with errno set (ETIMEDOUT when the
// time ran out, ECONNREFUSED when nothing listens).
int connectIpv4(uint32_t address, uint16_t port, int timeoutMs);

// The local port a socket is bound to, in host byte order; 0 on failure.
uint16_t socketLocalPort(int fd);

// Accepts one connection (close-on-exec). Returns the descriptor or -1 with
// errno set; EINTR is retried.
int acceptConnection(int listenFd);

// Turns on TCP_NODELAY. Returns false with errno set on failure.
bool setNoDelay(int fd);

// The remote end of a connected socket: the dotted IPv4 or textual IPv6
// address and the port in host byte order. Leaves "" and 0 when the system
// does not report them.
void socketRemoteEndpoint(int fd, std::string* address, uint16_t* port);

// Waits until the socket has data, an orderly close or an error to report.
// Returns 1 when a receive will not block, 0 when `timeoutMs` passed first
// (a negative timeout waits for ever), -1 with errno set on failure. EINTR is
// retried against the same deadline.
int waitReadable(int fd, int timeoutMs);

// Waits until a send will not block (or the socket has an error to report).
// Returns 1, 0 when `timeoutMs` passed first (negative waits for ever), or -1
// with errno set. EINTR is retried against the same deadline.
int waitWritable(int fd, int timeoutMs);

// One recv(2) (with MSG_DONTWAIT when `dontWait`: EAGAIN instead of a wait):
// bytes received (> 0), 0 after the peer's orderly close, or -1 with errno
// set. EINTR is retried.
ssize_t receiveSome(int fd, void* buffer, size_t size, bool dontWait = false);

// Turns O_NONBLOCK on or off. Returns false with errno set on failure.
bool setNonBlocking(int fd, bool on);

// One send(2) with MSG_NOSIGNAL (and MSG_DONTWAIT when `dontWait`): bytes sent
// or -1 with errno set. EINTR is retried.
ssize_t sendSome(int fd, const void* data, size_t size, bool dontWait = false);

// shutdown(2) in both directions: wakes every thread blocked on the socket.
// Errors are ignored (the socket may already be disconnected).
void shutdownSocket(int fd);

// shutdown(2) of the sending side only.
void shutdownSocketSend(int fd);

// close(2); a negative descriptor is ignored.
void closeSocket(int fd);
