// The program version, shown by the usage text and banner and stamped by
// registration and the runtime state file, and the built-in address of the
// maker's web service, which the server and the command-line tool share.
#pragma once

// Defined once (base/version.cpp), not as an inline constant: every reader
// takes the text from the one place in the program's data, so the version of
// a build is a single string in its file.
extern const char* const kAppVersion;
inline constexpr const char kProductName[] = "Brisvane";

// The maker's web service, used when BRISVANE_WEB_API is not set.
inline constexpr const char kDefaultWebApiBase[] = "https://api.brisvane.net";
