// The one line-reading loop behind every InputStream::readLine: bytes up to
// a line feed, carriage returns dropped and noted, at most maxBytes + 1 bytes
// appended so a caller can tell an overlong line.
#pragma once

#include <cstddef>
#include <string>

#include "net/line_carriage_returns.h"

// `nextByte()` returns the next byte (0..255), or -1 when the input ends or
// fails. Returns the count of bytes appended to `line` (more than maxBytes:
// the line is too long and the rest is left unread), or -1 when the input
// ended before any byte of the line. `strayCarriageReturnAt` as
// LineCarriageReturns takes it.
template <typename NextByte>
int readLineBytes(NextByte&& nextByte, std::string& line, size_t maxBytes, size_t* strayCarriageReturnAt) {
    LineCarriageReturns carriageReturns(strayCarriageReturnAt);
    size_t count = 0;
    for (int b = nextByte(); b >= 0; b = nextByte()) {
        const char c = static_cast<char>(b);
        if (c == '\n') {
            carriageReturns.lineEnded(true);
            return static_cast<int>(count);
        }
        if (c == '\r') {
            carriageReturns.seen(count);
            continue;
        }
        carriageReturns.byte();
        line.push_back(c);
        if (++count > maxBytes) return static_cast<int>(count);
    }
    carriageReturns.lineEnded(false);
    return count > 0 ? static_cast<int>(count) : -1;
}
