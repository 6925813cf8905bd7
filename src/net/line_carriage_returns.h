// Where a line read by InputStream::readLine had a carriage return that did
// not end it. Line readers drop every carriage return; this notes the first
// one that was not directly before the line feed, for parsers that must
// refuse a bare carriage return.
#pragma once

#include <cstddef>
#include <string>

class LineCarriageReturns {
public:
    // `out` (may be null) receives the result as the line ends.
    explicit LineCarriageReturns(size_t* out) : out_(out) {
        if (out_) *out_ = std::string::npos;
    }

    // A carriage return after `count` appended bytes.
    void seen(size_t count) {
        if (pending_) stray(pendingAt_);
        pending_ = true;
        pendingAt_ = count;
    }
    // Any other byte that is not the line feed.
    void byte() {
        if (pending_) stray(pendingAt_);
        pending_ = false;
    }
    // The line ended, by a line feed or by the end of the stream.
    void lineEnded(bool byLineFeed) {
        if (pending_ && !byLineFeed) stray(pendingAt_);
        pending_ = false;
    }

private:
    void stray(size_t at) {
        if (out_ && *out_ == std::string::npos) *out_ = at;
    }

    size_t* out_;
    bool pending_ = false;
    size_t pendingAt_ = 0;
};
