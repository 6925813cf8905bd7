#include "config/event_manager.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "base/json_parse.h"
#include "base/logger.h"
#include "base/text_util.h"
#include "base/utf8.h"
#include "config/runtime_properties.h"
#include "platform/file_io.h"


namespace {

// The number after "ev-": leading blanks skipped, digits read, the rest
// ignored. False when there are no digits or they overflow.
bool sequenceNumberOf(const std::string& eventId, uint64_t* number) {
    if (eventId.size() < 4) return false;
    size_t i = 3;
    while (i < eventId.size() && (eventId[i] == ' ' || eventId[i] == '\t')) ++i;
    const char* begin = eventId.data() + i;
    const char* end = eventId.data() + eventId.size();
    const auto [ptr, ec] = std::from_chars(begin, end, *number);
    return ec == std::errc() && ptr != begin;
}

EventRecord sanitized(EventRecord record) {
    for (std::string* field : {&record.eventId, &record.time, &record.level, &record.category, &record.actor,
                               &record.text, &record.detail}) {
        *field = replaceInvalidUtf8(*field);
    }
    return record;
}

}  // namespace

std::string eventToJson(const EventRecord& record) {
    nlohmann::json object = {
        {"eventId", record.eventId}, {"time", record.time},   {"level", record.level},
        {"category", record.category}, {"actor", record.actor}, {"text", record.text},
        {"detail", record.detail},
    };
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool eventFromJson(const std::string& line, EventRecord& record) {
    try {
        const nlohmann::json object = parseJson(line);
        if (!object.is_object()) return false;
        EventRecord parsed;
        parsed.eventId = object.value("eventId", std::string());
        parsed.time = object.value("time", std::string());
        parsed.level = object.value("level", std::string("info"));
        parsed.category = object.value("category", std::string("system"));
        parsed.actor = object.value("actor", std::string());
        parsed.text = object.value("text", std::string());
        parsed.detail = object.value("detail", std::string());
        if (parsed.eventId.empty()) return false;
        record = std::move(parsed);
        return true;
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

EventManager::EventManager(const std::string& filePath, size_t capacity, DurableReplaceStepObserver onRewriteStep)
    : filePath_(filePath), onRewriteStep_(std::move(onRewriteStep)), capacity_(capacity) {
    load();
    openAppendStream();
}

EventManager::~EventManager() {
    if (append_) std::fclose(append_);
}

namespace {

// The last `maxBytes` of the file at `path` (all of it when smaller), and in
// *whole whether that is the whole file. Empty when it cannot be read.
std::string readTail(const std::string& path, size_t maxBytes, bool* whole) {
    *whole = true;
    FILE* file = openRegularFileStream(path);
    if (!file) return std::string();
    std::string tail;
    if (::fseeko(file, 0, SEEK_END) == 0) {
        const off_t size = ::ftello(file);
        const off_t from = size > static_cast<off_t>(maxBytes) ? size - static_cast<off_t>(maxBytes) : 0;
        *whole = from == 0;
        if (size >= 0 && ::fseeko(file, from, SEEK_SET) == 0) {
            tail.resize(static_cast<size_t>(size - from));
            tail.resize(std::fread(tail.data(), 1, tail.size(), file));
        }
    }
    std::fclose(file);
    return tail;
}

// At most `limit` bytes of `text`, cut at a character boundary.
std::string bounded(const std::string& text, size_t limit) {
    if (text.size() <= limit) return text;
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut);
}

}  // namespace

void EventManager::load() {
    // Only the newest lines are wanted: a file that grew without bound (an
    // older version, or a crash before a rewrite) is read from its end, so
    // start-up costs the same whatever its size.
    bool whole = true;
    const std::string content = readTail(filePath_, kEventLogTailBytes, &whole);
    std::deque<EventRecord> loaded;  // file order: oldest first
    size_t lineCount = 0;
    size_t end = content.size();
    while (end > 0 && loaded.size() < capacity_) {
        size_t begin = content.rfind('\n', end - 1);
        begin = begin == std::string::npos ? 0 : begin + 1;
        // The first line of a tail that starts mid-file is a piece of a line.
        if (begin == 0 && !whole) break;
        if (begin < end) {
            const std::string line = content.substr(begin, end - begin);
            ++lineCount;
            EventRecord record;
            if (eventFromJson(line, record)) loaded.push_front(std::move(record));
        }
        end = begin == 0 ? 0 : begin - 1;
    }
    const bool moreBefore = end > 0 || !whole;

    uint64_t highest = 0;
    for (auto it = loaded.rbegin(); it != loaded.rend(); ++it) {
        uint64_t number = 0;
        if (sequenceNumberOf(it->eventId, &number) && number > highest) highest = number;
        records_.push_back(*it);
    }
    sequence_.store(highest);

    // Cut the file back to what is kept when it holds more than that.
    if (moreBefore || lineCount > capacity_) {
        std::lock_guard<std::mutex> lock(mutex_);
        rewriteLocked();
    } else {
        fileLines_ = lineCount;
        fileBytes_ = content.size();
        if (!content.empty() && content.back() != '\n') needsLineBreak_ = true;
    }
}

void EventManager::openAppendStream() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!append_) append_ = openStreamCloexec(filePath_, "a");
}

void EventManager::add(const std::string& level, const std::string& category, const std::string& actor,
                       const std::string& text, const std::string& detail) {
    const uint64_t number = sequence_.fetch_add(1) + 1;
    char id[32];
    std::snprintf(id, sizeof id, "ev-%05llu", static_cast<unsigned long long>(number));
    EventRecord record = sanitized({id, utcNowIso(), level, category, bounded(actor, kEventFieldMaxBytes),
                                    bounded(text, kEventFieldMaxBytes), bounded(detail, kEventFieldMaxBytes)});
    const std::string line = eventToJson(record) + "\n";

    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_front(std::move(record));
    while (records_.size() > capacity_) records_.pop_back();
    if (!append_) return;
    if (needsLineBreak_) {
        std::fputc('\n', append_);
        needsLineBreak_ = false;
    }
    if (std::fwrite(line.data(), 1, line.size(), append_) != line.size() || std::fflush(append_) != 0) {
        logMessage(1, "[EventManager] cannot append to %s: %s", filePath_.c_str(), std::strerror(errno));
        std::clearerr(append_);
    }
    ++fileLines_;
    fileBytes_ += line.size();
    // The file keeps growing between rewrites; once it holds several times
    // what the log keeps, it is cut back to the newest records, so a flood
    // of events costs a bounded file, not the disk.
    if (fileLines_ > kEventFileRewriteFactor * capacity_ || fileBytes_ > kEventLogTailBytes) rewriteLocked();
}

bool EventManager::remove(const std::string& eventId) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = records_.begin(); it != records_.end(); ++it) {
        if (it->eventId == eventId) {
            records_.erase(it);
            rewriteLocked();
            return true;
        }
    }
    return false;
}

void EventManager::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.clear();
    rewriteLocked();
}

std::vector<EventRecord> EventManager::recent(size_t count) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t n = count == 0 || count > records_.size() ? records_.size() : count;
    return std::vector<EventRecord>(records_.begin(), records_.begin() + static_cast<std::ptrdiff_t>(n));
}

void EventManager::rewriteLocked() {
    std::string content;
    for (auto it = records_.rbegin(); it != records_.rend(); ++it) content += eventToJson(*it) + "\n";
    // The append stream must not keep writing to the replaced file's inode.
    if (append_) {
        std::fclose(append_);
        append_ = nullptr;
    }
    std::string error;
    if (!replaceFileDurably(filePath_, content, &error, onRewriteStep_)) {
        logMessage(1, "[EventManager] cannot rewrite %s: %s", filePath_.c_str(), error.c_str());
    } else {
        needsLineBreak_ = false;
        fileLines_ = records_.size();
        fileBytes_ = content.size();
    }
    append_ = openStreamCloexec(filePath_, "a");
}

std::unique_ptr<EventManager> openEventLog(const std::string& logsDir) {
    return std::make_unique<EventManager>(logsDir + "/events.jsonl", kEventLogCapacity);
}
