// One relayed request's data connection: a fresh TLS connection to the
// relay, named by its request id, whose bytes are carried both ways to the
// local HTTP server, in memory (a MemoryChannel served by HttpServ with the
// Memory origin) or through a loopback socket whose local port is announced
// through on_local_port while it is open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "relay/local_stream.h"

class Peer;

namespace mivrelable::rtc {

class StopSignal;
class TlsConnection;
struct RelayContext;

// How one pump ended and what it carried.
struct PumpResult {
    uint64_t bytesLocalToTls = 0;
    uint64_t bytesTlsToLocal = 0;
    // "local_eof", "tls_eof", "tls_read_error", "tls_write_error",
    // "local_write_error", "select_error", or "stopped" when the client's
    // stop left the channel no time to finish.
    std::string reason;
};

// The body of one data-channel thread; every outcome is logged
// ("DATA_CHANNEL_FAIL" before the pump, "DATA_CHANNEL_DONE" after it).
void handleDataChannel(const std::shared_ptr<RelayContext>& context, uint64_t requestId);

// A new memory channel (1 MiB in, 4 MiB out, 30 s read time-out) served by
// `serve` (the HTTP front end with the Memory origin) on a thread of its own,
// which keeps a copy of `serve`. Null when that thread cannot be started.
std::shared_ptr<LocalStream> makeMemoryLocalStream(const std::function<void(Peer*)>& serve);

// Carries bytes between `stream` and `tls` until the local side has closed
// and its output was sent, TLS can no longer be written, or the stop's grace
// time ran out. On a stop the local side gets the end of its input at once,
// so it finishes the request it holds; `stallTimeoutMs` bounds a TLS write
// that makes no progress. Closes the stream at the end.
PumpResult pumpStreamChannel(LocalStream& stream, TlsConnection& tls, size_t bufferSize, const StopSignal& stop,
                             int stopGraceMs, int stallTimeoutMs);

// The same between a connected local socket and `tls`; ends at the first end
// or failure of either side.
PumpResult pumpSocketChannel(int localFd, TlsConnection& tls, size_t bufferSize, const StopSignal& stop,
                             int stopGraceMs, int stallTimeoutMs);

// A non-blocking socket connected to 127.0.0.1:`port` within `timeoutMs`, or
// -1 with `error` set.
int connectLocalPort(int port, int timeoutMs, std::string* error);

}  // namespace mivrelable::rtc
