// The one UTF-8 check of the code base. Text is valid when it is what the
// JSON writer (nlohmann::json::dump with the strict error handler) accepts:
// whole sequences only, no over-long forms, no surrogates (U+D800..U+DFFF),
// nothing above U+10FFFF. Every place that decides whether bytes may go out
// as text (streams, logs, JSON documents, model metadata) asks these
// functions, so a text they pass never makes the writer throw.
// Pure functions, safe for concurrent use.
#pragma once

#include <cstddef>
#include <string>

// The replacement character U+FFFD, as UTF-8.
extern const char kUtf8Replacement[];

// How the bytes at the start of a span begin.
struct Utf8Sequence {
    enum Kind {
        kWhole,      // a well-formed sequence of `length` bytes
        kTruncated,  // the span ends after `length` bytes that a well-formed
                     // sequence may still continue
        kInvalid,    // `length` bytes (at least 1) that no sequence can hold:
                     // the maximal ill-formed part, replaced as one U+FFFD
    };
    Kind kind;
    size_t length;
};

// Classifies the sequence that starts at `bytes` (which holds `size` > 0
// bytes).
Utf8Sequence scanUtf8Sequence(const unsigned char* bytes, size_t size);

// Whether `text` is valid UTF-8 as defined above. An empty text is valid.
bool isValidUtf8(const std::string& text);

// The length (1 to 3) of a tail of `text` that is the beginning of a
// well-formed sequence still missing bytes; 0 when there is none. Bytes before
// that tail are not looked at.
size_t incompleteUtf8Tail(const std::string& text);

// `text` with each maximal ill-formed part (and an incomplete sequence at the
// end) replaced by one U+FFFD; well-formed sequences are copied unchanged.
std::string replaceInvalidUtf8(const std::string& text);

// Moves what can be released from `pending` + `text` into the result: whole
// sequences as they are, ill-formed parts as U+FFFD. An incomplete sequence at
// the end stays in `pending` for the next call.
std::string releaseUtf8(std::string& pending, const std::string& text);
