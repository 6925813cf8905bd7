#include "net/head_scanner.h"

size_t HeadScanner::feed(const char* data, size_t size) {
    size_t i = 0;
    while (i < size && !complete_) {
        const char c = data[i++];
        ++seen_;
        if (c == '\r') continue;
        if (c != '\n') {
            // The parser refuses an over-long line as soon as it has read it.
            if (++lineBytes_ > maxLineBytes_) complete_ = true;
            continue;
        }
        if (lineBytes_ > 0) {
            // The request line and more header lines than the parser takes.
            if (++lines_ > maxHeaderLines_ + 1) complete_ = true;
            lineBytes_ = 0;
        } else if (lines_ > 0) {
            complete_ = true;  // the empty line after the headers
        } else if (++leadingEmpty_ == 2) {
            complete_ = true;  // two empty lines first: the parser ends the connection
        }
    }
    // Well past the head limit (line ends and all): the parser refuses it.
    if (seen_ > maxHeadBytes_ + maxLineBytes_ + 1024) complete_ = true;
    return i;
}

void HeadScanner::reset() {
    seen_ = 0;
    lineBytes_ = 0;
    lines_ = 0;
    leadingEmpty_ = 0;
    complete_ = false;
}
