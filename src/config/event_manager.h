// The event log: a short history of notable server events for the
// administration pages, newest first in memory and mirrored to a JSON Lines
// file ("events.jsonl" in DIR_LOGS), oldest line first.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file_io.h"

// One event. Every field is valid UTF-8 once it is in the log.
struct EventRecord {
    std::string eventId;   // "ev-" and the sequence number, at least 5 digits
    std::string time;      // UTC "%Y-%m-%dT%H:%M:%SZ"
    std::string level;     // "info", "error", ...
    std::string category;  // "system", "mivrel", ...
    std::string actor;     // "server", an instance id, ...
    std::string text;
    std::string detail;
};

// The number of events the server keeps.
inline constexpr size_t kEventLogCapacity = 500;
// The file is rewritten to the kept records once it holds this many times
// as many lines, or kEventLogTailBytes, whichever comes first.
inline constexpr size_t kEventFileRewriteFactor = 4;
// Start-up reads at most this much of the file's end. Records are far
// smaller (their actor, text and detail hold at most kEventFieldMaxBytes
// each), so the kept records always fit.
inline constexpr size_t kEventLogTailBytes = 8u << 20;
inline constexpr size_t kEventFieldMaxBytes = 4096;

// Safe for concurrent use by multiple threads: one mutex guards the list and
// the file, and every operation holds it for its whole work.
class EventManager {
public:
    // Loads the newest `capacity` records of `filePath`, reading no more
    // than its last kEventLogTailBytes (a missing or unreadable file gives
    // an empty log, unreadable lines are skipped), and rewrites the file
    // durably when it held more than that, then opens it for appending
    // (created when missing). Never fails for file problems:
    // without an append stream the log works in memory only. `onRewriteStep`,
    // when set, observes the steps of every durable rewrite (tests).
    EventManager(const std::string& filePath, size_t capacity, DurableReplaceStepObserver onRewriteStep = {});
    ~EventManager();
    EventManager(const EventManager&) = delete;
    EventManager& operator=(const EventManager&) = delete;

    // Adds a record with the next id and the current time at the front,
    // dropping the oldest beyond capacity, and appends its line to the file;
    // when the file then holds more than kEventFileRewriteFactor times the
    // capacity in lines, or kEventLogTailBytes, it is rewritten durably to
    // the kept records. Actor, text and detail are cut to kEventFieldMaxBytes
    // and bytes that are not valid UTF-8 are replaced by U+FFFD. Never throws for
    // file problems (a failed append is logged).
    void add(const std::string& level, const std::string& category, const std::string& actor,
             const std::string& text, const std::string& detail);

    // Removes the record whose id equals `eventId` byte for byte and rewrites
    // the file durably. False, with nothing written, when there is none.
    bool remove(const std::string& eventId);

    // Removes every record and rewrites the file durably (it becomes empty).
    // The sequence counter is kept, so ids never repeat.
    void clear();

    // Copies of the newest `count` records, newest first; all of them when
    // `count` is 0 or larger than the number held.
    std::vector<EventRecord> recent(size_t count) const;

    const std::string& filePath() const { return filePath_; }

private:
    void load();
    void openAppendStream();
    // REQUIRES: mutex_ held.
    void rewriteLocked();

    const std::string filePath_;
    const DurableReplaceStepObserver onRewriteStep_;
    const size_t capacity_;
    mutable std::mutex mutex_;
    std::deque<EventRecord> records_;  // newest at the front
    std::atomic<uint64_t> sequence_{0};  // highest number used so far
    FILE* append_ = nullptr;
    // The file ended in a partial line: the next append starts a new line.
    bool needsLineBreak_ = false;
    // What the file holds since it was last read or rewritten.
    size_t fileLines_ = 0;
    size_t fileBytes_ = 0;
};

// The one-line compact JSON text of `record`, keys in byte order. Invalid
// UTF-8 is replaced by U+FFFD.
std::string eventToJson(const EventRecord& record);

// Fills `record` from one line. False when the line is no JSON object, a
// present field is no string, or the eventId is empty. A missing "level" reads
// as "info", a missing "category" as "system", the others as empty.
bool eventFromJson(const std::string& line, EventRecord& record);

// The event log file in `logsDir` (DIR_LOGS) with the server's capacity.
std::unique_ptr<EventManager> openEventLog(const std::string& logsDir);

