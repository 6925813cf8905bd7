// The HTTPS client's URL splitter, request format, answer-head reading and
// document GET (against a TLS stand-in trusted through SSL_CERT_FILE), and
// the file digest.
#include "mgmt/https_client.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "base/logger.h"
#include "mgmt/file_digest.h"
#include "mgmt/http_answer_head.h"
#include "support/temp_dir.h"
#include "support/tls_test_server.h"

namespace {

TEST(ParseUrl, Table) {
    struct Case {
        const char* url;
        const char* host;
        int port;
        const char* path;
    };
    const Case cases[] = {
        {"https://h/a/b?x=1", "h", 443, "/a/b?x=1"},
        {"h:8443", "h", 8443, "/"},
        {"http://h/x", "h", 80, "/x"},
        {"https://files.example:9443", "files.example", 9443, "/"},
        {"https://h:12ab/p", "h", 12, "/p"},
        {"https://h/p:1", "h", 443, "/p:1"},
        {"", "", 443, "/"},
    };
    for (const Case& c : cases) {
        const ParsedUrl parsed = parseUrl(c.url);
        EXPECT_EQ(parsed.host, c.host) << c.url;
        EXPECT_EQ(parsed.port, c.port) << c.url;
        EXPECT_EQ(parsed.path, c.path) << c.url;
    }
}

TEST(ParseUrl, BadPorts) {
    try {
        parseUrl("https://h:x1/");
        ADD_FAILURE() << "a port that begins with a letter";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "invalid stoi argument");
    }
    try {
        parseUrl("h:99999999999");
        ADD_FAILURE() << "an eleven-digit port";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "stoi argument out of range");
    }
}

// A URL goes into the request line and the Host line unchanged: one that
// would end a line or the request target is refused before any connection.
TEST(ParseUrl, RefusesControlCharactersAndSpaces) {
    for (const std::string url : {std::string("https://h/a\r\nX-Injected: yes"), std::string("https://h/a b"),
                                  std::string("https://h\r\nX: y/a"), std::string("https://h/a\tb"),
                                  std::string("https://h/a\x7f"), std::string("https://h/a\0b", 13)}) {
        EXPECT_FALSE(isRequestSafeUrl(url)) << url;
        try {
            parseUrl(url);
            ADD_FAILURE() << "accepted: " << url;
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "invalid URL: control characters or spaces");
        }
    }
    EXPECT_TRUE(isRequestSafeUrl("https://h:8443/a/b?x=1&y=%20"));
}

TEST(GetRequest, Format) {
    EXPECT_EQ(buildGetRequest("h", "/a?b=1", "", 0), "GET /a?b=1 HTTP/1.0\r\nHost: h\r\n\r\n");
    EXPECT_EQ(buildGetRequest("h", "/f", "tok", 0), "GET /f HTTP/1.0\r\nHost: h\r\nAuthorization: Bearer tok\r\n\r\n");
    EXPECT_EQ(buildGetRequest("h", "/f", "", 1234),
              "GET /f HTTP/1.0\r\nHost: h\r\nRange: bytes=1234-\r\n\r\n");
    EXPECT_EQ(buildGetRequest("h", "/f", "t", 5), "GET /f HTTP/1.0\r\nHost: h\r\nAuthorization: Bearer t\r\nRange: bytes=5-\r\n\r\n");
}

TEST(AnswerHead, Table) {
    struct Case {
        const char* head;
        bool ok;
        int status;
        int64_t length;
        const char* range;
        const char* encoding;
    };
    const Case cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 10", true, 200, 10, "", ""},
        {"HTTP/1.0 206 Partial Content\r\ncontent-range: bytes 5-9/10\r\nCONTENT-LENGTH:5", true, 206, 5,
         "bytes 5-9/10", ""},
        {"HTTP/1.1 404", true, 404, -1, "", ""},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked", true, 200, -1, "", "chunked"},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: identity", true, 200, -1, "", ""},
        {"HTTP/1.1 200 OK\r\nContent-Length: 4\r\nContent-Length: 4", true, 200, 4, "", ""},
        {"HTTP/1.1 200 OK\r\nContent-Length: 4\r\nContent-Length: 5", false, 0, 0, "", ""},
        {"HTTP/1.1 200 OK\r\nContent-Length: -4", false, 0, 0, "", ""},
        {"HTTP/1.1 200 OK\r\nContent-Length: 0x10", false, 0, 0, "", ""},
        {"HTTP/1.1 20 OK", false, 0, 0, "", ""},
        {"ICY 200 OK", false, 0, 0, "", ""},
        {"<html>", false, 0, 0, "", ""},
    };
    for (const Case& c : cases) {
        HttpAnswerHead head;
        std::string error;
        ASSERT_EQ(parseHttpAnswerHead(c.head, &head, &error), c.ok) << c.head << " " << error;
        if (!c.ok) continue;
        EXPECT_EQ(head.status, c.status) << c.head;
        EXPECT_EQ(head.contentLength, c.length) << c.head;
        EXPECT_EQ(head.contentRange, c.range) << c.head;
        EXPECT_EQ(head.transferEncoding, c.encoding) << c.head;
    }
}

TEST(AnswerHead, ContentRangeTable) {
    struct Case {
        const char* value;
        bool ok;
        int64_t first, last, total;
    };
    const Case cases[] = {
        {"bytes 5-9/10", true, 5, 9, 10},
        {"bytes 0-0/*", true, 0, 0, -1},
        {"bytes 9-5/10", false, 0, 0, 0},
        {"bytes 5-9/9", false, 0, 0, 0},
        {"bytes */10", false, 0, 0, 0},
        {"items 5-9/10", false, 0, 0, 0},
        {"bytes 5-/10", false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        int64_t first = 0, last = 0, total = 0;
        ASSERT_EQ(parseContentRange(c.value, &first, &last, &total), c.ok) << c.value;
        if (!c.ok) continue;
        EXPECT_EQ(first, c.first) << c.value;
        EXPECT_EQ(last, c.last) << c.value;
        EXPECT_EQ(total, c.total) << c.value;
    }
}

TEST(FileDigest, KnownValues) {
    TempDir dir;
    writeTextFile(dir.file("empty"), "");
    EXPECT_EQ(sha256File(dir.file("empty")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    writeTextFile(dir.file("abc"), "abc");
    EXPECT_EQ(sha256File(dir.file("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // One million "a": many 64 KiB blocks and a short last one.
    writeTextFile(dir.file("million"), std::string(1000000, 'a'));
    EXPECT_EQ(sha256File(dir.file("million")), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(FileDigest, RefusesWhatIsNotAReadableFile) {
    TempDir dir;
    std::filesystem::create_directories(dir.file("folder"));
    for (const std::string& path : {dir.file("missing"), dir.file("folder")}) {
        try {
            sha256File(path);
            ADD_FAILURE() << path;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "failed to open file (SHA256): " + path);
        }
    }
}

// httpsGet against a stand-in the client trusts through a CA made here.
class HttpsGet : public ::testing::Test {
protected:
    void SetUp() override {
        setLogLevel(0);
        ca_.writeCertificate(dir_.file("ca.pem"));
        trust_ = std::make_unique<ScopedEnvVar>("SSL_CERT_FILE", dir_.file("ca.pem"));
        server_ = std::make_unique<ScriptedTlsServer>(ca_.issueServerCertificate({"localhost"}));
    }
    std::string get() { return httpsGet("localhost", server_->port(), "/brisvane/api/x?a=1", ""); }
    std::string failure() {
        try {
            get();
        } catch (const std::exception& e) {
            return e.what();
        }
        return "no failure";
    }

    TempDir dir_;
    TestCertificateAuthority ca_;
    std::unique_ptr<ScopedEnvVar> trust_;
    std::unique_ptr<ScriptedTlsServer> server_;
};

TEST_F(HttpsGet, BodyFramedByContentLength) {
    server_->setAnswer("HTTP/1.1 404 Not Found\r\nContent-Length: 5\r\n\r\nabcdeEXTRA");
    EXPECT_EQ(get(), "abcde") << "the status is not judged; the length bounds the body";
    ASSERT_EQ(server_->requests().size(), 1u);
    EXPECT_EQ(server_->requests()[0], "GET /brisvane/api/x?a=1 HTTP/1.0\r\nHost: localhost\r\n\r\n");

    server_->setAnswer("HTTP/1.0 200 OK\r\n\r\n{\"retcode\":0}");
    EXPECT_EQ(get(), "{\"retcode\":0}") << "without a length the body runs to the close";
    server_->setAnswer("no blank line");
    EXPECT_EQ(get(), "no blank line");
}

TEST_F(HttpsGet, RefusesBadFraming) {
    server_->setAnswer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nabcde\r\n0\r\n\r\n");
    EXPECT_EQ(failure(), "chunked transfer encoding is not supported: localhost");
    server_->setAnswer("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort");
    EXPECT_EQ(failure(), "answer truncated: localhost (5 of 100 bytes)");
    server_->setAnswer("HTTP/1.1 200 OK\r\n\r\n" + std::string(kHttpsGetMaxAnswerBytes, 'x'));
    EXPECT_EQ(failure(), "HTTPS exchange failed: localhost (answer larger than 4194304 bytes)");
}

TEST_F(HttpsGet, VerifiesTheHostName) {
    ScriptedTlsServer other(ca_.issueServerCertificate({"other.example"}));
    other.setAnswer(ScriptedTlsServer::httpAnswer("{}"));
    try {
        httpsGet("localhost", other.port(), "/", "");
        ADD_FAILURE() << "a certificate for another name was accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("HTTPS connection failed: localhost (certificate verification failed"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_TRUE(other.requests().empty());
}

TEST_F(HttpsGet, SilentServerTimesOut) {
    server_->setSilent(true);
    TlsClientOptions quick = httpsGetOptions();
    quick.ioTimeoutMs = 300;
    try {
        httpsGet("localhost", server_->port(), "/", "", quick);
        ADD_FAILURE() << "no time-out";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "HTTPS exchange failed: localhost (read timed out)");
    }
}

TEST_F(HttpsGet, CancelEndsAWait) {
    server_->setSilent(true);
    TlsClientOptions options = httpsGetOptions();
    options.cancelled = [] { return true; };
    EXPECT_THROW(httpsGet("localhost", server_->port(), "/", "", options), TlsCancelled);
}

}  // namespace
