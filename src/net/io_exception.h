// The one error type of every connection stream operation, socket or memory.
// The code tells the HTTP layer what happened:
//   -1     the stream's connection was already closed
//   10060  a read waited longer than the connection's receive time-out
//   10054  the relay side closed during a memory write
//   other  the Winsock error code of a failed socket receive or send
#pragma once

#include <exception>
#include <string>

class IOException : public std::exception {
public:
    IOException(int code, std::string message) : code_(code), message_(std::move(message)) {}

    const char* what() const noexcept override { return message_.c_str(); }
    int code() const noexcept { return code_; }

private:
    int code_;
    std::string message_;
};
