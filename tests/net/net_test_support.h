// Shared fixture pieces of the net tests: serving a scripted client through
// HttpServ with a route table and front-end options of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <atomic>

#include "fake_peer.h"
#include "net/http_serv.h"
#include "net/net_options.h"
#include "net/router.h"

// Each test serves with a route table of its own, filled by the test, and
// options with the configuration's defaults and the inference service off
// (exported_ false).
class NetServingTest : public ::testing::Test {
protected:
    NetServingTest() { options_.inferenceExported = &exported_; }
    RouteHandlers routes_;
    NetOptions options_;
    std::atomic<bool> exported_{false};
};

// Splits the server's bytes into whole replies (Content-Length or chunked).
inline std::vector<std::string> splitReplies(const std::string& wire) {
    std::vector<std::string> replies;
    size_t pos = 0;
    while (pos < wire.size()) {
        const size_t headEnd = wire.find("\r\n\r\n", pos);
        if (headEnd == std::string::npos) break;
        const std::string head = wire.substr(pos, headEnd - pos);
        size_t end = headEnd + 4;
        if (head.find("Transfer-Encoding: chunked") != std::string::npos) {
            const size_t last = wire.find("\r\n0\r\n\r\n", headEnd);
            end = last == std::string::npos ? wire.size() : last + 7;
        } else {
            const size_t at = head.find("Content-Length: ");
            if (at != std::string::npos) end += std::stoul(head.substr(at + 16));
        }
        replies.push_back(wire.substr(pos, end - pos));
        pos = end;
    }
    return replies;
}

inline std::string statusLine(const std::string& reply) { return reply.substr(0, reply.find("\r\n")); }

inline std::string bodyOf(const std::string& reply) {
    const size_t at = reply.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : reply.substr(at + 4);
}
