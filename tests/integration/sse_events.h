// Reading event-stream replies in integration tests: as they arrive, and
// split into their events.
#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/http_client.h"

// A POST whose reply is read as it arrives.
class OpenStream {
public:
    bool open(uint16_t port, const std::string& target, const std::string& body) {
        return connection_.connect(port) &&
               connection_.send(buildRequest("POST", target, {{"Content-Type", "application/json"}}, body));
    }
    // Sends the next request on the same connection, once the previous
    // reply was read to its end; what was received is forgotten.
    bool send(const std::string& target, const std::string& body) {
        received_.clear();
        return connection_.send(buildRequest("POST", target, {{"Content-Type", "application/json"}}, body));
    }
    // Reads until `text` has arrived (true), or 120 s passed (a loaded
    // machine), or the peer closed.
    bool readUntil(const std::string& text) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (received_.find(text) == std::string::npos) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{connection_.fd(), POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
            char buffer[4096];
            const ssize_t n = ::recv(connection_.fd(), buffer, sizeof buffer, 0);
            if (n <= 0) return false;
            received_.append(buffer, static_cast<size_t>(n));
        }
        return true;
    }
    const std::string& received() const { return received_; }
    // Drops the connection without reading further (a client that goes away).
    void reset() { connection_.reset(); }

private:
    HttpConnection connection_;
    std::string received_;
};

struct SseEvent {
    std::string name;
    nlohmann::json data;  // discarded (is_discarded()) when the data is not JSON
};

// The "event: " frames of an event-stream body whose chunks are already
// joined, in order; the "data: [DONE]" line carries no event and is skipped.
inline std::vector<SseEvent> parseEvents(const std::string& body) {
    std::vector<SseEvent> events;
    size_t pos = 0;
    while ((pos = body.find("event: ", pos)) != std::string::npos) {
        const size_t nameEnd = body.find('\n', pos);
        const size_t dataStart = body.find("data: ", nameEnd) + 6;
        const size_t dataEnd = body.find("\n\n", dataStart);
        events.push_back({body.substr(pos + 7, nameEnd - pos - 7),
                          nlohmann::json::parse(body.substr(dataStart, dataEnd - dataStart), nullptr, false)});
        pos = dataEnd;
    }
    return events;
}

// The names of `events`, in order.
inline std::vector<std::string> eventNames(const std::vector<SseEvent>& events) {
    std::vector<std::string> names;
    for (const SseEvent& e : events) names.push_back(e.name);
    return names;
}
