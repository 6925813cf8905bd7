#include "config/event_manager.h"

#include <charconv>
#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>

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

void EventManager::load() {
    std::string content;
    try {
        content = readFileToString(filePath_);
    } catch (const std::exception&) {
        return;
    }
    std::deque<EventRecord> loaded;  // file order: oldest first
    size_t lineCount = 0;
    std::istringstream in(content);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        ++lineCount;
        EventRecord record;
        if (eventFromJson(line, record)) loaded.push_back(std::move(record));
    }
    while (loaded.size() > capacity_) loaded.pop_front();

    uint64_t highest = 0;
    for (auto it = loaded.rbegin(); it != loaded.rend(); ++it) {
        uint64_t number = 0;
        if (sequenceNumberOf(it->eventId, &number) && number > highest) highest = number;
        records_.push_back(*it);
    }
    sequence_.store(highest);

    // The file only grows between starts; cut it back to what is kept so it
    // never outgrows the log.
    if (lineCount > capacity_) {
        std::lock_guard<std::mutex> lock(mutex_);
        rewriteLocked();
    } else if (!content.empty() && content.back() != '\n') {
        needsLineBreak_ = true;
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
    EventRecord record = sanitized({id, utcNowIso(), level, category, actor, text, detail});
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
    }
    append_ = openStreamCloexec(filePath_, "a");
}

std::unique_ptr<EventManager> openEventLog(const std::string& logsDir) {
    return std::make_unique<EventManager>(logsDir + "/events.jsonl", kEventLogCapacity);
}
