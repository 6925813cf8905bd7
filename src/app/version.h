// The program version, shown by the usage text and banner and stamped by
// registration and the runtime state file.
#pragma once

inline constexpr const char kAppVersion[] = "1.0.23";
inline constexpr const char kProductName[] = "Brisvane";
