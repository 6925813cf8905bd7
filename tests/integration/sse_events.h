// Reading the events of an event-stream reply in integration tests.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

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
