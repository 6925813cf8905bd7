#include "relay/rtc_log.h"

#include <ctime>

#include "base/logger.h"

namespace mivrelable::rtc {

void rtcLogEvent(const std::string& level, const std::string& event, const std::string& message) {
    const int loggerLevel = level == "ERROR" ? 1 : level == "WARN" ? 2 : level == "INFO" ? 4 : 5;
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    logMessage(loggerLevel, "[RTC] %02d-%02d-%02d %02d:%02d:%02d.%02d %s event=%s msg=%s", local.tm_year % 100,
               local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
               static_cast<int>(millis / 10), level.c_str(), event.c_str(), message.c_str());
}

void rtcLogRepeatable(RepeatGate& gate, const std::string& level, const std::string& event,
                      const std::string& message) {
    uint64_t heldBack = 0;
    if (!gate.admit(level + " " + event + " " + repeatKindOf(message), RepeatGate::Clock::now(), &heldBack)) return;
    if (heldBack == 0) return rtcLogEvent(level, event, message);
    rtcLogEvent(level, event,
                message + " (and " + std::to_string(heldBack) + " more like it since the last such line)");
}

void rtcLogHeldBack(RepeatGate& gate) {
    for (const auto& [kind, count] : gate.drain()) {
        rtcLogEvent("WARN", "REPEATED", std::to_string(count) + " more lines like \"" + kind + "\"");
    }
}

}  // namespace mivrelable::rtc
