// The program version, shown by the usage text and banner and stamped by
// registration and the runtime state file.
#pragma once

// Defined once (app/version.cpp), not as an inline constant: every reader
// takes the text from the one place in the program's data, so the version
// of a build is a single string in its file.
extern const char* const kAppVersion;
inline constexpr const char kProductName[] = "Brisvane";
