// Tells, from bytes that arrive piece by piece, when a request head is
// complete the way the request parser (http_request.h) reads it: lines end
// at a line feed, carriage returns do not count, at most one empty line may
// come before the request line, and an empty line after it ends the head.
// The server waits for such a head without a thread and hands the
// connection to one only then.
#pragma once

#include <cstddef>

// REQUIRES: external synchronization (one connection's owner at a time).
class HeadScanner {
public:
    // The limits as in RequestLimits: a line, a line count or a head beyond
    // them makes the head "complete" too, since the parser refuses it without
    // reading further.
    HeadScanner(size_t maxLineBytes, size_t maxHeaderLines, size_t maxHeadBytes)
        : maxLineBytes_(maxLineBytes), maxHeaderLines_(maxHeaderLines), maxHeadBytes_(maxHeadBytes) {}

    // Looks at `size` more bytes of the head; returns how many of them it
    // took, which is all of them unless the head became complete inside
    // them (then the count up to and including its last byte).
    size_t feed(const char* data, size_t size);

    // Whether the parser can read the whole head (or its refusal, or the
    // end of the connection) without waiting for more bytes.
    bool complete() const { return complete_; }
    // Whether any byte of a head arrived (its deadline runs from then).
    bool started() const { return seen_ > 0; }

    // Forgets everything, for the next request on the connection.
    void reset();

private:
    const size_t maxLineBytes_;
    const size_t maxHeaderLines_;
    const size_t maxHeadBytes_;
    size_t seen_ = 0;          // bytes looked at
    size_t lineBytes_ = 0;     // of the current line, carriage returns not counted
    size_t lines_ = 0;         // non-empty lines so far
    int leadingEmpty_ = 0;     // empty lines before the request line
    bool complete_ = false;
};
