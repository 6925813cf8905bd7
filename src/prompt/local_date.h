// The date that some prompt formats write into their system header
// ("Current date: 2026-12-09"). It is a replaceable source so that prompts
// can be compared byte for byte in tests.
#pragma once

#include <functional>
#include <string>

// Returns today's date as "%Y-%m-%d".
using DateSource = std::function<std::string()>;

// Today's date in the machine's local time zone, "%Y-%m-%d" (such as
// "2026-12-09"), from the wall clock at the moment of the call. Reports no
// failure (an unconvertible clock gives "1970-01-01"). Safe for concurrent
// use by multiple threads.
std::string formatLocalDate();
