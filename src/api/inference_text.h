// Text helpers shared by the inference API's payloads: the time stamp and
// message id formats, and the right-trim used to compare prompt endings.
//
// All functions are pure (apart from reading the clock) and safe for
// concurrent use by multiple threads.
#pragma once

#include <cstdint>
#include <string>

// The UTC calendar time of `epochMs` as "YYYY-MM-DDTHH:MM:SS.mmmZ", for
// example "1970-01-01T00:00:00.250Z" for 250. Never fails.
std::string formatIsoTimeMs(int64_t epochMs);

// formatIsoTimeMs of the current wall-clock time.
std::string nowIsoTimeMs();

// "msg-" followed by the current epoch milliseconds in decimal.
std::string newMessageId();

// `text` without trailing spaces, tabs, carriage returns and line feeds.
std::string rtrim(const std::string& text);

// Whether rtrim(a) ends with rtrim(b); false when rtrim(b) is empty or longer
// than rtrim(a).
bool endsWithTrimmed(const std::string& a, const std::string& b);
