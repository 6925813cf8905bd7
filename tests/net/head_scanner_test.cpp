// Finding the end of a request head in bytes that arrive piece by piece, the
// way the parser reads it, so a connection goes to a worker only when the
// parser will not wait.
#include <gtest/gtest.h>

#include <string>

#include "net/head_scanner.h"

namespace {

struct Case {
    const char* name;
    std::string bytes;
    bool complete;
    size_t taken;  // bytes taken when complete
};

TEST(HeadScanner, CompleteWhereTheParserCanReadTheWholeHead) {
    const std::string longLine(40, 'x');
    const Case cases[] = {
        {"request line and headers", "GET / HTTP/1.1\r\nHost: a\r\n\r\nBODY", true, 27},
        {"bare line feeds", "GET / HTTP/1.1\nHost: a\n\n", true, 24},
        {"no headers", "GET / HTTP/1.1\r\n\r\n", true, 18},
        {"one empty line first", "\r\nGET / HTTP/1.1\r\n\r\n", true, 20},
        {"two empty lines first end the connection", "\r\n\r\nGET", true, 4},
        {"carriage returns do not end a line", "GET / HTTP/1.1\r\r\r\nA: b\r\r\n\r\r\n", true, 28},
        {"headers still coming", "GET / HTTP/1.1\r\nHost: a\r\n", false, 0},
        {"request line still coming", "GET / HTT", false, 0},
        {"nothing but one empty line", "\r\n", false, 0},
        {"a line longer than the parser takes", "GET /" + longLine, true, 33},
        {"more header lines than the parser takes", "GET / HTTP/1.1\nA: 1\nB: 2\nC: 3\nD: 4\n", true, 35},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Whole, and one byte at a time: the same answer.
        HeadScanner whole(32, 3, 200);
        const size_t taken = whole.feed(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(whole.complete(), c.complete);
        if (c.complete) {
            EXPECT_EQ(taken, c.taken);
        }
        HeadScanner trickled(32, 3, 200);
        size_t fed = 0;
        for (char byte : c.bytes) {
            if (trickled.complete()) break;
            fed += trickled.feed(&byte, 1);
        }
        EXPECT_EQ(trickled.complete(), c.complete);
        if (c.complete) {
            EXPECT_EQ(fed, c.taken);
        }
        EXPECT_EQ(trickled.started(), !c.bytes.empty());
    }
}

TEST(HeadScanner, AHeadBeyondTheLimitIsHandedOnAndResetStartsAnew) {
    HeadScanner scanner(8192, 1000000, 64 * 1024);
    const std::string lines = "GET / HTTP/1.1\r\n" + std::string(20, 'h') + "\r\n";
    size_t sent = 0;
    while (!scanner.complete() && sent < 200 * 1024) {
        scanner.feed(lines.data(), lines.size());
        sent += lines.size();
    }
    EXPECT_TRUE(scanner.complete()) << "a head that never ends is refused by the parser, not waited for";
    scanner.reset();
    EXPECT_FALSE(scanner.complete());
    EXPECT_FALSE(scanner.started());
    const std::string next = "GET /next HTTP/1.1\r\n\r\n";
    EXPECT_EQ(scanner.feed(next.data(), next.size()), next.size());
    EXPECT_TRUE(scanner.complete());
}

}  // namespace
