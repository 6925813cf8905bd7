#include "api/inference_text.h"

#include <cstdio>
#include <ctime>

#include "base/text_util.h"

std::string formatIsoTimeMs(int64_t epochMs) {
    // Floor division, so a time before the epoch still gives a millisecond
    // part between 0 and 999.
    int64_t seconds = epochMs / 1000;
    int64_t millis = epochMs % 1000;
    if (millis < 0) {
        millis += 1000;
        seconds -= 1;
    }
    const time_t t = static_cast<time_t>(seconds);
    struct tm utc {};
    gmtime_r(&t, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(millis));
    return text;
}

std::string nowIsoTimeMs() { return formatIsoTimeMs(nowMs()); }

std::string newMessageId() { return "msg-" + std::to_string(nowMs()); }

std::string rtrim(const std::string& text) {
    const size_t end = text.find_last_not_of(" \t\r\n");
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

bool endsWithTrimmed(const std::string& a, const std::string& b) {
    const std::string ta = rtrim(a);
    const std::string tb = rtrim(b);
    if (tb.empty() || tb.size() > ta.size()) return false;
    return ta.compare(ta.size() - tb.size(), tb.size(), tb) == 0;
}
