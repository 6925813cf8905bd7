// Reading the head of an HTTP answer that the server's HTTPS client received:
// the status line and the few headers the client acts on.
#pragma once

#include <cstdint>
#include <string>

struct HttpAnswerHead {
    std::string statusLine;  // the first line, without CR LF
    int status = 0;          // the three-digit code
    int64_t contentLength = -1;  // -1 when the header is absent
    std::string contentRange;    // "" when absent
    std::string transferEncoding;  // "" when absent
};

// Parses `head` (the bytes before the blank line). False with `error` set
// when the status line is not "HTTP/<d>.<d> <3 digits>[ reason]", or a
// Content-Length is not a plain decimal number or is repeated with another
// value. Header names are compared without regard to letter case. Thread-safe.
bool parseHttpAnswerHead(const std::string& head, HttpAnswerHead* out, std::string* error);

// A Content-Range value "bytes <first>-<last>/<total or *>": true with the
// numbers (total -1 for "*") when it has that form and first <= last.
bool parseContentRange(const std::string& value, int64_t* first, int64_t* last, int64_t* total);
