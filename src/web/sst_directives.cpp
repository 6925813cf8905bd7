#include "web/sst_directives.h"

#include <algorithm>

namespace sst {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool isWord(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}
bool isDigit(char c) { return c >= '0' && c <= '9'; }
char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Reads the text and remembers the furthest position it looked at, so that a
// failed attempt can say what its result depended on.
class Cursor {
public:
    Cursor(const std::string& text, size_t pos) : text_(text), pos_(pos), reach_(pos) {}

    size_t pos() const { return pos_; }
    void seek(size_t pos) { pos_ = pos; }
    size_t reach() const { return reach_; }

    // The character at the cursor, or false at the end of the text.
    bool peek(char* c) {
        if (pos_ >= text_.size()) {
            reach_ = kToEnd;
            return false;
        }
        if (reach_ != kToEnd) reach_ = std::max(reach_, pos_ + 1);
        *c = text_[pos_];
        return true;
    }
    // Skips \s*; returns how many characters it skipped.
    size_t skipSpaces() {
        const size_t start = pos_;
        char c = 0;
        while (peek(&c) && isSpace(c)) ++pos_;
        return pos_ - start;
    }
    // Consumes `word` (ASCII), ignoring letter case when `anyCase`.
    bool literal(const char* word, bool anyCase) {
        const size_t start = pos_;
        for (const char* w = word; *w; ++w) {
            char c = 0;
            if (!peek(&c) || (anyCase ? lowerAscii(c) != lowerAscii(*w) : c != *w)) {
                pos_ = start;
                return false;
            }
            ++pos_;
        }
        return true;
    }
    // Consumes \w+ (or [A-Za-z_]\w* when `identifier`) into *out.
    bool word(std::string* out, bool identifier) {
        const size_t start = pos_;
        char c = 0;
        if (!peek(&c) || !isWord(c) || (identifier && isDigit(c))) return false;
        while (peek(&c) && isWord(c)) ++pos_;
        *out = text_.substr(start, pos_ - start);
        return true;
    }
    // Consumes \s*%> (the end of every directive).
    bool close() {
        skipSpaces();
        return literal("%>", false);
    }

private:
    const std::string& text_;
    size_t pos_;
    size_t reach_;
};

bool matchInclude(const std::string& text, Cursor& in, DirectiveMatch& m) {
    if (!in.literal("<%", false)) return false;
    in.skipSpaces();
    if (!in.literal("@", false)) return false;
    in.skipSpaces();
    if (!in.literal("include", true)) return false;
    if (in.skipSpaces() == 0) return false;
    if (!in.literal("file", true)) return false;
    in.skipSpaces();
    if (!in.literal("=", false)) return false;
    in.skipSpaces();
    char c = 0;
    if (!in.peek(&c) || (c != '"' && c != '\'')) return false;
    in.seek(in.pos() + 1);
    // [^"']+ then either quote: the name runs to the first quote of any kind.
    const size_t nameStart = in.pos();
    while (in.peek(&c) && c != '"' && c != '\'') in.seek(in.pos() + 1);
    if (in.pos() == nameStart || !in.peek(&c)) return false;
    m.name = text.substr(nameStart, in.pos() - nameStart);
    in.seek(in.pos() + 1);
    return in.close();
}

bool matchAssignment(const std::string& text, Cursor& in, DirectiveMatch& m) {
    if (!in.literal("<%", false)) return false;
    in.skipSpaces();
    if (!in.word(&m.name, true)) return false;
    in.skipSpaces();
    if (!in.literal("=", false)) return false;
    in.skipSpaces();
    char c = 0;
    if (!in.peek(&c)) return false;
    if (c == '"' || c == '\'') {
        // (["'])(.*?)\2\s*%> : the shortest value whose closing quote is
        // followed by the end of the directive; "." stops at line ends.
        const char quote = c;
        const size_t valueStart = in.pos() + 1;
        for (size_t at = valueStart;; ++at) {
            in.seek(at);
            if (!in.peek(&c) || c == '\n' || c == '\r') return false;
            if (c != quote) continue;
            in.seek(at + 1);
            if (in.close()) {
                m.value = text.substr(valueStart, at - valueStart);
                return true;
            }
        }
    }
    if (!isDigit(c)) return false;
    const size_t digitsStart = in.pos();
    while (in.peek(&c) && isDigit(c)) in.seek(in.pos() + 1);
    m.value = text.substr(digitsStart, in.pos() - digitsStart);
    return in.close();
}

// <%\s*else\s*%> or <%\s*endif\s*%> at the cursor; the cursor moves past it
// only on success.
bool matchKeywordDirective(Cursor& in, const char* keyword) {
    const size_t start = in.pos();
    if (in.literal("<%", false)) {
        in.skipSpaces();
        if (in.literal(keyword, true) && in.close()) return true;
    }
    in.seek(start);
    return false;
}

// The first <%\s*endif\s*%> at or after `from`; kToEnd when there is none.
size_t findEndif(const std::string& text, Cursor& in, size_t from, size_t* endifEnd) {
    for (size_t at = text.find("<%", from); at != std::string::npos; at = text.find("<%", at + 1)) {
        in.seek(at);
        if (matchKeywordDirective(in, "endif")) {
            *endifEnd = in.pos();
            return at;
        }
    }
    in.seek(text.size());
    char c = 0;
    in.peek(&c);  // the answer depended on the end of the text
    return kToEnd;
}

bool matchConditional(const std::string& text, Cursor& in, DirectiveMatch& m) {
    if (!in.literal("<%", false)) return false;
    in.skipSpaces();
    if (!in.literal("if", true)) return false;
    if (in.skipSpaces() == 0) return false;
    if (!in.word(&m.name, false)) return false;
    if (!in.close()) return false;
    const size_t body = in.pos();
    // ([\s\S]*?)(?:<%\s*else\s*%>([\s\S]*?))?<%\s*endif\s*%> : at each body
    // length, first the else branch (the optional group is greedy), then a
    // direct endif.
    for (size_t at = text.find("<%", body); at != std::string::npos; at = text.find("<%", at + 1)) {
        in.seek(at);
        if (matchKeywordDirective(in, "else")) {
            const size_t elseStart = in.pos();
            size_t endifEnd = 0;
            const size_t endif = findEndif(text, in, elseStart, &endifEnd);
            if (endif != kToEnd) {
                m.thenPart = text.substr(body, at - body);
                m.elsePart = text.substr(elseStart, endif - elseStart);
                in.seek(endifEnd);
                return true;
            }
            // No endif after this else means none after any later place.
            return false;
        }
        if (matchKeywordDirective(in, "endif")) {
            m.thenPart = text.substr(body, at - body);
            m.elsePart.clear();
            return true;
        }
    }
    in.seek(text.size());
    char c = 0;
    in.peek(&c);
    return false;
}

bool matchSubstitution(const std::string&, Cursor& in, DirectiveMatch& m) {
    if (!in.literal("<%=", false)) return false;
    in.skipSpaces();
    if (!in.word(&m.name, false)) return false;
    return in.close();
}

}  // namespace

bool matchAt(DirectiveKind kind, const std::string& text, size_t pos, DirectiveMatch& match, size_t* reach) {
    Cursor in(text, pos);
    DirectiveMatch m;
    bool matched = false;
    switch (kind) {
        case DirectiveKind::Include: matched = matchInclude(text, in, m); break;
        case DirectiveKind::Assignment: matched = matchAssignment(text, in, m); break;
        case DirectiveKind::Conditional: matched = matchConditional(text, in, m); break;
        case DirectiveKind::Substitution: matched = matchSubstitution(text, in, m); break;
    }
    if (!matched) {
        *reach = in.reach();
        return false;
    }
    m.begin = pos;
    m.end = in.pos();
    match = std::move(m);
    return true;
}

}  // namespace sst
