// Request parsing: the request line, headers, Content-Length bodies and the
// limits that keep one request from making the server read without end.
#include <gtest/gtest.h>

#include <algorithm>

#include "fake_peer.h"
#include "net/http_request.h"

namespace {

bool parse(const std::string& bytes, Request* request, const RequestLimits& limits = {}) {
    FakeInput input(bytes);
    return readHttpRequest(input, *request, limits);
}

TEST(HttpRequestParse, SplitsLineHeadersAndBody) {
    Request r;
    ASSERT_TRUE(parse("POST /v1/x?a=%20&b?c HTTP/1.1\r\nX-Id: 1\r\nx-id:  2 \r\nno colon here\r\n"
                      "Content-Length: 5\r\n\r\nhelloNEXT",
                      &r));
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.target, "/v1/x?a=%20&b?c");
    EXPECT_EQ(r.path, "/v1/x");
    EXPECT_EQ(r.query, "a=%20&b?c");
    EXPECT_EQ(r.version, "HTTP/1.1");
    EXPECT_EQ(r.headers.size(), 2u);
    EXPECT_EQ(r.header("X-ID"), "2");
    EXPECT_EQ(std::string(r.body.begin(), r.body.end()), "hello");
}

TEST(HttpRequestParse, LineEndsAndEmptyLines) {
    Request r;
    EXPECT_TRUE(parse("\r\nGET / HTTP/1.1\n\n", &r)) << "one empty line before the request is skipped";
    EXPECT_EQ(r.path, "/");
    EXPECT_FALSE(parse("\r\n\r\nGET / HTTP/1.1\r\n\r\n", &r)) << "two empty lines end the connection";
    EXPECT_TRUE(parse("GET /a\rb HTTP/1.1\r\nHost: x\r\n\r\n", &r));
    EXPECT_EQ(r.path, "/ab") << "a carriage return inside a line is dropped";
    EXPECT_FALSE(parse("", &r));
    EXPECT_FALSE(parse("GET / HTTP/1.1\r\nHost: x\r\n", &r)) << "stream ends inside the header block";
    EXPECT_FALSE(parse("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc", &r)) << "stream ends inside the body";
}

TEST(HttpRequestParse, MalformedRequestLine) {
    Request r;
    try {
        parse("GET /\r\n\r\n", &r);
        FAIL() << "no exception";
    } catch (const HttpBadRequestException& e) {
        EXPECT_STREQ(e.what(), "Malformed request line: GET /");
    }
}

TEST(HttpRequestParse, ContentLengthForms) {
    struct Case {
        const char* header;
        int outcome;  // -1 bad request, else body size
    } cases[] = {
        {"Content-Length: 0\r\n", 0},
        {"", 0},
        {"Content-Length: 3\r\n", 3},
        {"Content-Length:  3 \r\n", 3},
        {"Content-Length: -5\r\n", -1},
        {"Content-Length: 12abc\r\n", -1},
        {"Content-Length: abc\r\n", -1},
        {"Content-Length: \r\n", -1},
        {"Content-Length: +3\r\n", -1},
        {"Content-Length: 3\r\ncontent-length: 3\r\n", -1},
        {"Content-Length: 99999999999999999999999\r\n", 413},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.header);
        Request r;
        const std::string bytes = std::string("POST / HTTP/1.1\r\n") + c.header + "\r\nabcdef";
        if (c.outcome == -1) {
            EXPECT_THROW(parse(bytes, &r), HttpBadRequestException);
        } else if (c.outcome == 413) {
            try {
                parse(bytes, &r);
                ADD_FAILURE() << "no exception";
            } catch (const HttpRequestRejectedException& e) {
                EXPECT_EQ(e.status(), 413);
            }
        } else {
            ASSERT_TRUE(parse(bytes, &r));
            EXPECT_EQ(r.body.size(), static_cast<size_t>(c.outcome));
        }
    }
}

TEST(HttpRequestParse, LimitsRefuseBeforeReading) {
    RequestLimits limits;
    limits.maxLineBytes = 32;
    limits.maxHeaderLines = 3;
    limits.maxHeadBytes = 80;
    limits.maxBodyBytes = 10;
    const std::string longValue(40, 'v');
    struct Case {
        std::string bytes;
        int status;
    } cases[] = {
        {"GET /" + longValue + " HTTP/1.1\r\n\r\n", 414},
        {"GET / HTTP/1.1\r\nX: " + longValue + "\r\n\r\n", 431},
        {"GET / HTTP/1.1\r\nA: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\n\r\n", 431},
        {"GET / HTTP/1.1\r\nA: 0123456789012345678901\r\nB: 0123456789012345678901\r\nC: 01234567890123\r\n\r\n", 431},
        {"POST / HTTP/1.1\r\nContent-Length: 11\r\n\r\n", 413},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", 501},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: identity\r\nContent-Length: 1\r\n\r\nx", 501},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        FakeInput input(c.bytes);
        Request r;
        try {
            readHttpRequest(input, r, limits);
            ADD_FAILURE() << "accepted";
        } catch (const HttpRequestRejectedException& e) {
            EXPECT_EQ(e.status(), c.status);
        }
        // Nothing of a refused body is read.
        if (c.status == 413) {
            EXPECT_EQ(input.consumed(), c.bytes.size());
        }
    }
    Request r;
    EXPECT_TRUE(parse("POST / HTTP/1.1\r\nA: 1\r\nB: 2\r\nContent-Length: 10\r\n\r\n0123456789", &r, limits))
        << "exactly at every limit";
}

TEST(HttpRequestParse, HeaderFormsThatAreRefused) {
    struct Case {
        std::string headers;
        int status;  // 0 accepted, 400 bad request, else the rejection's status
    } cases[] = {
        {"Host: a\r\n", 0},
        {"Host:a\r\nX-Y:\t z \r\n", 0},
        {"X: a\rb\r\n", 0},  // a stray carriage return in a value is dropped
        {"Host : a\r\n", 400},
        {"Host\t: a\r\n", 400},
        {"X Y: a\r\n", 400},
        {" Host: a\r\n", 400},
        {": a\r\n", 400},
        {"Ho\rst: a\r\n", 400},
        {"Host\r: a\r\n", 400},
        {"Host: a\r\nHOST: b\r\n", 400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.headers);
        Request r;
        const std::string bytes = "GET / HTTP/1.1\r\n" + c.headers + "\r\n";
        if (c.status == 0) {
            EXPECT_TRUE(parse(bytes, &r));
        } else {
            EXPECT_THROW(parse(bytes, &r), HttpBadRequestException);
        }
    }
}

TEST(HttpRequestParse, VersionsOtherThanHttp1Are505) {
    const struct {
        const char* version;
        bool accepted;
    } cases[] = {{"HTTP/1.1", true}, {"HTTP/1.0", true}, {"FOO/9.9", false}, {"HTTP/2.0", false},
                 {"http/1.1", false}, {"HTTP/1.10", false}, {"HTTP/1.", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        Request r;
        const std::string bytes = std::string("GET / ") + c.version + "\r\n\r\n";
        if (c.accepted) {
            EXPECT_TRUE(parse(bytes, &r));
            continue;
        }
        try {
            parse(bytes, &r);
            ADD_FAILURE() << "accepted";
        } catch (const HttpRequestRejectedException& e) {
            EXPECT_EQ(e.status(), 505);
        }
    }
}

// Hands out a fixed number of body bytes, then ends, noting how much of the
// request's body buffer was in use (touched) and whether the buffer ever
// moved at each read.
class TricklingInput : public FakeInput {
public:
    TricklingInput(std::string data, const Request* request) : FakeInput(std::move(data)), request_(request) {}
    int read(void* buffer, int size) override {
        largestBody = std::max(largestBody, request_->body.size());
        if (request_->body.data() != lastData_) ++buffers;
        lastData_ = request_->body.data();
        return FakeInput::read(buffer, std::min(size, 1000));
    }
    size_t largestBody = 0;
    int buffers = 0;

private:
    const Request* request_;
    const uint8_t* lastData_ = nullptr;
};

// The body buffer is reserved once from the declared length (within the
// limits), so it never doubles or moves while it fills; only what the
// client actually sends (plus one read's room) is touched.
TEST(HttpRequestParse, BodyBufferIsReservedOnceAndFilledAsBytesArrive) {
    struct Case {
        size_t declared;
        size_t sent;
    } cases[] = {
        {60u * 1024 * 1024, 0},
        {60u * 1024 * 1024, 100 * 1000},
        {300 * 1000, 300 * 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sent);
        Request r;
        TricklingInput input("POST / HTTP/1.1\r\nContent-Length: " + std::to_string(c.declared) + "\r\n\r\n" +
                                 std::string(c.sent, 'b'),
                             &r);
        const bool complete = readHttpRequest(input, r, RequestLimits());
        EXPECT_EQ(complete, c.sent == c.declared);
        EXPECT_LE(input.largestBody, c.sent + 64 * 1024);
        if (complete) {
            EXPECT_EQ(std::string(r.body.begin(), r.body.end()), std::string(c.sent, 'b'));
            EXPECT_EQ(r.body.capacity(), c.declared) << "no doubling";
            EXPECT_EQ(input.buffers, 1) << "the buffer never moved";
        }
    }
}

TEST(HttpRequestParse, BearerToken) {
    struct Case {
        const char* value;
        const char* token;
    } cases[] = {
        {"Bearer abc", "abc"},
        {"bearer   abc \r", "abc"},
        {"BEARER x y", "x y"},
        {"Bearer ", ""},
        {"Bearer", ""},
        {"Basic abc", ""},
        {"Bearer \tabc", "\tabc"},
    };
    for (const Case& c : cases) {
        Request r;
        r.headers["authorization"] = c.value;
        EXPECT_EQ(bearerToken(r), c.token) << c.value;
    }
    EXPECT_EQ(bearerToken(Request()), "");
}

}  // namespace
