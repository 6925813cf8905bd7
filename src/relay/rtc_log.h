// The relay client's own log lines.
#pragma once

#include <string>

namespace mivrelable::rtc {

// Logs "[RTC] yy-mm-dd hh:mm:ss.cc LEVEL event=EVENT msg=MESSAGE" in local
// time through logMessage: "ERROR" at level 1, "WARN" 2, "INFO" 4, any other
// level text 5. Safe for concurrent use by multiple threads.
void rtcLogEvent(const std::string& level, const std::string& event, const std::string& message);

}  // namespace mivrelable::rtc
