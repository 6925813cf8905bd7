// The rules that decide whether a direct connection may make a request, and
// the set of local endpoints that belong to the relay's socket-mode data
// channels (which pass without checks).
#pragma once

#include <cstdint>
#include <string>

// A Host header value names this machine: empty, "localhost" or "127.0.0.1"
// with or without a port, or "[::1]" with or without a port (any letter case).
bool isLoopbackHost(const std::string& value);

// An Origin header value is this server's own page: "http://localhost:",
// "http://127.0.0.1:" or "http://[::1]:" followed by `servPort`, the port the
// server listens on (any case).
bool isLoopbackOrigin(const std::string& value, int servPort);

// A peer address is on the loopback network: 127.0.0.0/8, ::1 or an
// IPv4-mapped 127.x address. "" (unknown) is not.
bool isLoopbackPeerAddress(const std::string& address);

// Adds (or removes) the local end `address`:`port` of a relay data-channel
// connection to the HTTP server. Safe for concurrent use.
void setRelayPort(const std::string& address, uint16_t port, bool add);

// Whether `address`:`port` was added by the relay and not removed. Port 0 is
// never a relay port. Safe for concurrent use.
bool isRelayPort(const std::string& address, uint16_t port);
