// The relay client's own log lines.
#pragma once

#include <chrono>
#include <string>

#include "base/repeat_gate.h"

namespace mivrelable::rtc {

// How long a repeated failure stays quiet after it was written.
inline constexpr std::chrono::seconds kRepeatedFailureInterval{10};

// Logs "[RTC] yy-mm-dd hh:mm:ss.cc LEVEL event=EVENT msg=MESSAGE" in local
// time through logMessage: "ERROR" at level 1, "WARN" 2, "INFO" 4, any other
// level text 5. Safe for concurrent use by multiple threads.
void rtcLogEvent(const std::string& level, const std::string& event, const std::string& message);

// rtcLogEvent for a failure the relay can cause at any rate (a data
// connection it announces and that fails): a line of the same level, event
// and message, digits aside (request ids, counts), as one `gate` let through
// within its interval is only counted, and the next one let through says
// how many were held back. Safe for concurrent use by multiple threads.
void rtcLogRepeatable(RepeatGate& gate, const std::string& level, const std::string& event,
                      const std::string& message);

// One "REPEATED" line for each kind of failure `gate` holds back lines of,
// with their count; the gate starts afresh. For the client's stop.
void rtcLogHeldBack(RepeatGate& gate);

}  // namespace mivrelable::rtc
