// The text syntax of the configuration file "conf/serv.conf", shared by the
// server and the command-line tool. Depends on nothing but the text helpers,
// so programs without the server's libraries can link it.
#pragma once

#include <functional>
#include <map>
#include <string>

// Walks configuration text line by line with the rules of parseConfText and
// hands each trimmed key and value to `visit`, in file order; `visit` returns
// false to stop the walk. Never fails.
void forEachConfEntry(const std::string& text,
                      const std::function<bool(const std::string& key, const std::string& value)>& visit);

// Splits configuration text into keys and values: one "key = value" per line,
// "#" starts a comment anywhere, the first "=" splits, key and value are
// trimmed, lines without "=" or with an empty key are ignored, the last
// duplicate wins. Never fails.
std::map<std::string, std::string> parseConfText(const std::string& text);

// The leading-number rule of configuration values: blanks, an optional sign,
// decimal digits, the rest ignored. Throws std::invalid_argument when no digit
// follows; a value outside the int range sets *outOfRange (the result is then
// clamped just past it).
long long leadingInteger(const std::string& text, bool* outOfRange);
