// printf-style formatting into a new string, and the monotonic clock the
// engines time their work with. Both keep no state and are safe from any
// thread.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

// The text `format` produces with the arguments. A null format, or a format
// the C library refuses (negative count), gives the empty string. Never throws
// except for running out of memory.
std::string formatString(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string formatStringV(const char* format, va_list args);

// Milliseconds of the process's monotonic clock; only differences between two
// readings mean anything.
int64_t steadyNowMs();
