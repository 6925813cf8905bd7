// The template processor of the web pages: before a ".html" or ".htm" page
// is sent it expands include directives, records variable assignments, keeps
// or drops conditional sections and substitutes variable values, in that
// order (see web/sst_directives.h for the four directive forms).
//
// One processor belongs to each HTTP connection (the connection attribute
// "sst"); its variables are never cleared, so what one page assigns stays
// visible to the connection's later pages. Values missing from the variables
// come from the process environment. Values are inserted as they are, with
// no escaping: pages must not put outside data into variables.
//
// Expansion is bounded: an include nested deeper than kMaxIncludeDepth, a
// pass that makes more than kMaxReplacements replacements, or a text that
// would grow beyond kMaxOutputBytes stops with a visible "[! ... ]" marker in
// the page and a log line, so self-including pages and self-referring
// variables end.
//
// Used by one connection thread at a time (no lock); copies are independent.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>

#include "web/sst_directives.h"

class SSTProcessor {
public:
    static constexpr int kMaxIncludeDepth = 16;
    static constexpr size_t kMaxReplacements = 10000;
    static constexpr size_t kMaxOutputBytes = 16u * 1024 * 1024;

    // `root` is the web folder; it appears only in the destruction message.
    explicit SSTProcessor(std::string root);
    SSTProcessor(const SSTProcessor& other);
    SSTProcessor& operator=(const SSTProcessor& other);
    // Writes "SSTProcessor destroyed: <root>" to standard output when that is
    // a terminal, to the log otherwise (so piped output and log files of a
    // service stay clean), then logs "SSTProcessor destroyed".
    ~SSTProcessor();

    // Sets a variable, replacing an earlier value.
    void setVariable(const std::string& name, const std::string& value);
    // The variable's value, or null when it is not set.
    const std::string* variable(const std::string& name) const;

    // Renders the page at `pagePath`. Never fails: a page that cannot be read
    // renders as empty text.
    std::string process(const std::string& pagePath);

    // The content of the regular file at `path` with CR LF pairs turned into
    // LF, read no further than needed for `limit` bytes of that text: a
    // longer file gives its first limit + 1 bytes, so the caller can tell.
    // Empty when it cannot be opened or is not a regular file (a folder, a
    // device such as /dev/zero, a FIFO).
    static std::string readFile(const std::string& path, size_t limit = kMaxOutputBytes);

    // The four passes; each returns the text after it.
    std::string applyIncludes(std::string text, const std::string& directory);
    std::string applyAssignments(std::string text);
    std::string applyConditionals(std::string text);
    std::string applySubstitutions(std::string text);

    const std::string& root() const { return root_; }

private:
    // The value of a variable, else of the environment variable; null when
    // neither exists.
    bool lookup(const std::string& name, std::string* value) const;

    std::string root_;
    std::unordered_map<std::string, std::string> variables_;
};
