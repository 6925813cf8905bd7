// Socket error codes as the rest of the server speaks them: the Winsock
// numbers of the original design, so that messages and logic that test for
// "time-out" or "reset" keep one vocabulary on every platform.
#pragma once

namespace sockerr {
constexpr int kClosed = -1;         // the peer closed the connection
constexpr int kInterrupted = 10004;
constexpr int kBadDescriptor = 10009;
constexpr int kAccessDenied = 10013;
constexpr int kInvalidArgument = 10022;
constexpr int kTooManyFiles = 10024;
constexpr int kWouldBlock = 10035;
constexpr int kInProgress = 10036;
constexpr int kAlready = 10037;
constexpr int kMessageSize = 10040;
constexpr int kAddressInUse = 10048;
constexpr int kAddressNotAvailable = 10049;
constexpr int kNetworkDown = 10050;
constexpr int kNetworkUnreachable = 10051;
constexpr int kConnectionAborted = 10053;
constexpr int kConnectionReset = 10054;
constexpr int kNoBuffers = 10055;
constexpr int kNotConnected = 10057;
constexpr int kShutdown = 10058;
constexpr int kTimedOut = 10060;
constexpr int kConnectionRefused = 10061;
constexpr int kHostUnreachable = 10065;
}  // namespace sockerr

// Maps an errno value from a socket call to its Winsock code. A receive that
// ends because SO_RCVTIMEO expired reports EAGAIN: pass `receiveTimedOut` so
// it maps to kTimedOut rather than kWouldBlock. Unknown values map to
// kNetworkDown's neighbour: the errno itself offset by 20000, so they stay
// distinct and visible in logs.
int winsockErrorFromErrno(int err, bool receiveTimedOut = false);
