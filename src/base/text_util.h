// Small text, file and time helpers shared by all subsystems.
// All are safe for concurrent use.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

// Wall-clock milliseconds since the Unix epoch (system clock).
int64_t nowMs();

// A file that could be opened but not read: a directory, or an I/O error.
// what() is "Unable to read file: <path> (<reason>)".
class FileReadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The whole file with CR LF turned into "\n". Throws std::runtime_error
// "Unable to open file: <path>" when the file cannot be opened, and
// FileReadError when it opens but cannot be read whole (a directory reads as
// an error, never as an empty text).
std::string readFileToString(const std::string& path);

// Splits at the first ':'. Without a colon the head is the whole text.
std::pair<std::string, std::string> splitAtColon(const std::string& text);

// Whether `text` begins with `prefix`.
bool startsWith(const std::string& text, const std::string& prefix);
bool startsWith(const char* text, const char* prefix);

// Whether `text` ends with `suffix`.
bool endsWith(const std::string& text, const std::string& suffix);

// `text` without leading and trailing blanks, tabs, CR and LF.
std::string trimWhitespace(const std::string& text);
