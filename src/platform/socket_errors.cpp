#include "platform/socket_errors.h"

#include <cerrno>

int winsockErrorFromErrno(int err, bool receiveTimedOut) {
    switch (err) {
        case EAGAIN: return receiveTimedOut ? sockerr::kTimedOut : sockerr::kWouldBlock;
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK: return receiveTimedOut ? sockerr::kTimedOut : sockerr::kWouldBlock;
#endif
        case EINTR: return sockerr::kInterrupted;
        case EBADF: return sockerr::kBadDescriptor;
        case EACCES: return sockerr::kAccessDenied;
        case EINVAL: return sockerr::kInvalidArgument;
        case EMFILE:
        case ENFILE: return sockerr::kTooManyFiles;
        case EINPROGRESS: return sockerr::kInProgress;
        case EALREADY: return sockerr::kAlready;
        case EMSGSIZE: return sockerr::kMessageSize;
        case EADDRINUSE: return sockerr::kAddressInUse;
        case EADDRNOTAVAIL: return sockerr::kAddressNotAvailable;
        case ENETDOWN: return sockerr::kNetworkDown;
        case ENETUNREACH: return sockerr::kNetworkUnreachable;
        case ECONNABORTED: return sockerr::kConnectionAborted;
        case ECONNRESET:
        case EPIPE: return sockerr::kConnectionReset;
        case ENOBUFS:
        case ENOMEM: return sockerr::kNoBuffers;
        case ENOTCONN: return sockerr::kNotConnected;
        case ESHUTDOWN: return sockerr::kShutdown;
        case ETIMEDOUT: return sockerr::kTimedOut;
        case ECONNREFUSED: return sockerr::kConnectionRefused;
        case EHOSTUNREACH:
        case EHOSTDOWN: return sockerr::kHostUnreachable;
        default: return 20000 + err;
    }
}
