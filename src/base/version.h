// The program version, shown by the usage text and banner and stamped by
// registration and the runtime state file, and the built-in address of the
// maker's web service, which the server and the command-line tool share.
#pragma once

inline constexpr const char kAppVersion[] = "1.0.23";
inline constexpr const char kProductName[] = "Brisvane";

// The maker's web service, used when BRISVANE_WEB_API is not set.
inline constexpr const char kDefaultWebApiBase[] = "https://api.brisvane.net";
