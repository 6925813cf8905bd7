// Collapses repeated identical log lines: the first line of a kind is
// written, the same kind again within an interval is only counted, and the
// first one after the interval is written with that count. A peer that
// makes the same failure thousands of times a second then costs a line per
// interval, not a line per failure.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class RepeatGate {
public:
    using Clock = std::chrono::steady_clock;

    // `interval`: how long a kind stays quiet after a written line.
    // `maxKinds`: kinds remembered at once; beyond it the quietest is
    // forgotten (its held-back count is then reported by drain()).
    explicit RepeatGate(std::chrono::milliseconds interval, size_t maxKinds = 256);
    RepeatGate(const RepeatGate&) = delete;
    RepeatGate& operator=(const RepeatGate&) = delete;

    // True when a line of kind `key` should be written at `now`; then
    // *heldBack is the number of lines of that kind held back since the last
    // one written. False (the line is counted) within the interval.
    // Safe for concurrent use by multiple threads.
    bool admit(const std::string& key, Clock::time_point now, uint64_t* heldBack);

    // The kinds with lines held back and their counts, forgotten afterwards:
    // for a last report when the source of the lines stops.
    // Safe for concurrent use by multiple threads.
    std::vector<std::pair<std::string, uint64_t>> drain();

private:
    struct Kind {
        Clock::time_point lastWritten;
        uint64_t heldBack = 0;
    };

    const std::chrono::milliseconds interval_;
    const size_t maxKinds_;
    std::mutex mutex_;
    std::map<std::string, Kind> kinds_;
    std::vector<std::pair<std::string, uint64_t>> forgotten_;
};

// `text` with every run of decimal digits replaced by "#": lines that differ
// only in ids, counts or ports are of one kind.
std::string repeatKindOf(const std::string& text);
