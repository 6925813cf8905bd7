// Recognises the four template directives of the web pages by hand, with the
// exact matching rules of their regular expressions (ECMAScript flavour):
//
//   include      <%\s*@\s*include\s+file\s*=\s*["']([^"']+)["']\s*%>      letter case ignored
//   assignment   <%\s*([A-Za-z_]\w*)\s*=\s*(?:(["'])(.*?)\2|(\d+))\s*%>    letter case significant
//   conditional  <%\s*if\s+(\w+)\s*%>([\s\S]*?)(?:<%\s*else\s*%>([\s\S]*?))?<%\s*endif\s*%>
//                                                                           letter case ignored
//   substitution <%=\s*(\w+)\s*%>                                          letter case significant
//
// A scanner instead of std::regex: the library's recursive matcher
// overflows the stack on large pages, and a scan can report how far it read,
// which lets a pass resume its search after a replacement instead of
// starting again from the beginning.
//
// Pure functions of their arguments; safe for concurrent use.
#pragma once

#include <cstddef>
#include <string>

namespace sst {

enum class DirectiveKind { Include, Assignment, Conditional, Substitution };

// One match: the directive occupies text[begin, end).
struct DirectiveMatch {
    size_t begin = 0;
    size_t end = 0;
    std::string name;        // include: file name; the others: variable name
    std::string value;       // assignment: the value (quoted text or digits)
    std::string thenPart;    // conditional
    std::string elsePart;    // conditional; empty when there is no else
};

// What a failed match attempt at one position read: attempts whose result
// depends only on text[start, reach) keep failing while that text stays the
// same. kToEnd: the attempt depended on the end of the text.
struct FailedAttempt {
    size_t start;
    size_t reach;
};
inline constexpr size_t kToEnd = static_cast<size_t>(-1);

// Tries to match `kind` at exactly `pos`. On success fills `match` and
// returns true; on failure sets *reach (see FailedAttempt) and returns false.
bool matchAt(DirectiveKind kind, const std::string& text, size_t pos, DirectiveMatch& match, size_t* reach);

}  // namespace sst
