#include "web/sst_processor.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <vector>

#include "base/logger.h"
#include "platform/file_io.h"

namespace fs = std::filesystem;
using sst::DirectiveKind;
using sst::DirectiveMatch;

namespace {

const char* kindName(DirectiveKind kind) {
    switch (kind) {
        case DirectiveKind::Include: return "include";
        case DirectiveKind::Assignment: return "assignment";
        case DirectiveKind::Conditional: return "conditional";
        case DirectiveKind::Substitution: return "substitution";
    }
    return "";
}

// Gives the replacement of one match in a text of `textSize` bytes; returns
// false to end the pass after it.
using Replacer = std::function<bool(const DirectiveMatch&, size_t textSize, std::string* replacement)>;
// Told where text[begin, end) was replaced by `length` bytes.
using ReplacedHook = std::function<void(size_t begin, size_t end, size_t length)>;

// One pass: replace the first match, search again, until none is left. Text
// produced by a replacement is searched again. Failed attempts before the
// replaced directive are not repeated when what they read is unchanged, so a
// page with many directives costs about one scan per replacement from the
// replaced place on, not from the beginning.
std::string runPass(std::string text, DirectiveKind kind, const Replacer& replacer, const ReplacedHook& hook = {}) {
    std::vector<sst::FailedAttempt> failed;  // ascending start
    size_t from = 0;
    size_t replacements = 0;
    for (;;) {
        DirectiveMatch match;
        bool found = false;
        for (size_t at = text.find("<%", from); at != std::string::npos; at = text.find("<%", at + 1)) {
            size_t reach = 0;
            if (sst::matchAt(kind, text, at, match, &reach)) {
                found = true;
                break;
            }
            failed.push_back({at, reach});
        }
        if (!found) break;

        std::string replacement;
        bool more = true;
        if (replacements == SSTProcessor::kMaxReplacements) {
            logMessage(2, "[SST] %s pass stopped after %zu replacements", kindName(kind), replacements);
            replacement = "[! template limit reached: more than " + std::to_string(SSTProcessor::kMaxReplacements) +
                          " " + kindName(kind) + " replacements ]";
            more = false;
        } else {
            more = replacer(match, text.size(), &replacement);
        }
        if (text.size() - (match.end - match.begin) + replacement.size() > SSTProcessor::kMaxOutputBytes) {
            logMessage(2, "[SST] %s pass stopped: the page would exceed %zu bytes", kindName(kind),
                       SSTProcessor::kMaxOutputBytes);
            replacement = "[! template limit reached: page larger than " +
                          std::to_string(SSTProcessor::kMaxOutputBytes) + " bytes ]";
            more = false;
        }
        text.replace(match.begin, match.end - match.begin, replacement);
        ++replacements;
        if (hook) hook(match.begin, match.end, replacement.size());
        if (!more) break;

        // The byte before the replaced text may open a directive together
        // with the replacement's first byte ("<" + "%= w %>"): the next search
        // starts there, as a search from the beginning would find it.
        from = match.begin == 0 ? 0 : match.begin - 1;
        for (size_t i = 0; i < failed.size(); ++i) {
            if (failed[i].reach == sst::kToEnd || failed[i].reach > match.begin) {
                from = failed[i].start;
                failed.resize(i);
                break;
            }
        }
    }
    return text;
}

// Nesting depth of included text: each included file's text is a region one
// deeper than the place of its directive.
class IncludeDepths {
public:
    int depthAt(size_t pos) const {
        int depth = 0;
        for (const Region& r : regions_) {
            if (r.begin <= pos && pos < r.end && r.depth > depth) depth = r.depth;
        }
        return depth;
    }
    void replaced(size_t begin, size_t end, size_t length, int insertedDepth) {
        const long long delta = static_cast<long long>(length) - static_cast<long long>(end - begin);
        for (Region& r : regions_) {
            if (r.begin >= end) {
                r.begin += delta;
                r.end += delta;
            } else if (r.end >= end) {
                r.end += delta;
            } else if (r.end > begin) {
                r.end = begin + length;
            }
        }
        if (insertedDepth > 0 && length > 0) regions_.push_back({begin, begin + length, insertedDepth});
    }

private:
    struct Region {
        size_t begin;
        size_t end;
        int depth;
    };
    std::vector<Region> regions_;
};

}  // namespace

SSTProcessor::SSTProcessor(std::string root) : root_(std::move(root)) { logMessage(9, "SSTProcessor created"); }

SSTProcessor::SSTProcessor(const SSTProcessor& other) = default;
SSTProcessor& SSTProcessor::operator=(const SSTProcessor& other) = default;

SSTProcessor::~SSTProcessor() {
    if (::isatty(STDOUT_FILENO)) {
        std::fprintf(stdout, "SSTProcessor destroyed: %s\n", root_.c_str());
    } else {
        logMessage(9, "SSTProcessor destroyed: %s", root_.c_str());
    }
    logMessage(9, "SSTProcessor destroyed");
}

void SSTProcessor::setVariable(const std::string& name, const std::string& value) { variables_[name] = value; }

const std::string* SSTProcessor::variable(const std::string& name) const {
    const auto it = variables_.find(name);
    return it == variables_.end() ? nullptr : &it->second;
}

bool SSTProcessor::lookup(const std::string& name, std::string* value) const {
    if (const std::string* own = variable(name)) {
        *value = *own;
        return true;
    }
    if (const char* env = std::getenv(name.c_str())) {
        *value = env;
        return true;
    }
    return false;
}

std::string SSTProcessor::readFile(const std::string& path, size_t limit) {
    // Only regular files: a device such as /dev/zero never ends, and a FIFO
    // would block the connection's thread. A folder gives an empty text too.
    std::FILE* file = openRegularFileStream(path);
    if (!file) return std::string();
    std::string text;
    char chunk[65536];
    size_t got;
    bool pendingCr = false;  // a CR that ended the previous chunk
    // The text is read only as far as the caller can use it: one byte past
    // `limit` tells the caller that the file is larger.
    while (text.size() <= limit && (got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        for (size_t i = 0; i < got; ++i) {
            const char c = chunk[i];
            if (pendingCr) {
                pendingCr = false;
                if (c != '\n') text.push_back('\r');
            }
            if (c == '\r') {
                pendingCr = true;
                continue;
            }
            text.push_back(c);
        }
    }
    if (pendingCr) text.push_back('\r');
    std::fclose(file);
    if (text.size() > limit) text.resize(limit + 1);
    return text;
}

std::string SSTProcessor::process(const std::string& pagePath) {
    std::string text = readFile(pagePath, kMaxOutputBytes);
    const std::string directory = fs::path(pagePath).parent_path().string();
    text = applyIncludes(std::move(text), directory);
    text = applyAssignments(std::move(text));
    text = applyConditionals(std::move(text));
    return applySubstitutions(std::move(text));
}

std::string SSTProcessor::applyIncludes(std::string text, const std::string& directory) {
    IncludeDepths depths;
    int insertedDepth = 0;
    const Replacer replacer = [&](const DirectiveMatch& m, size_t textSize, std::string* out) {
        // Names are joined to the page's folder; an absolute name stands alone.
        const std::string target = (fs::path(directory) / m.name).string();
        const int depth = depths.depthAt(m.begin) + 1;
        insertedDepth = 0;
        if (depth > kMaxIncludeDepth) {
            logMessage(2, "[SST] include nested deeper than %d levels: %s", kMaxIncludeDepth, target.c_str());
            *out = "[! include depth limit reached: " + target + " ]";
            return true;
        }
        // The page may grow only to kMaxOutputBytes: a larger file is read no
        // further than that, and the pass then stops at the limit.
        const size_t rest = textSize - (m.end - m.begin);
        const size_t budget = rest < kMaxOutputBytes ? kMaxOutputBytes - rest : 0;
        std::string content = readFile(target, budget);
        if (content.empty()) {
            *out = "[! include file not found: " + target + " ]";
        } else {
            *out = std::move(content);
            insertedDepth = depth;
        }
        return true;
    };
    const ReplacedHook hook = [&](size_t begin, size_t end, size_t length) {
        depths.replaced(begin, end, length, insertedDepth);
        insertedDepth = 0;
    };
    return runPass(std::move(text), DirectiveKind::Include, replacer, hook);
}

std::string SSTProcessor::applyAssignments(std::string text) {
    return runPass(std::move(text), DirectiveKind::Assignment, [this](const DirectiveMatch& m, size_t, std::string* out) {
        variables_[m.name] = m.value;
        out->clear();
        return true;
    });
}

std::string SSTProcessor::applyConditionals(std::string text) {
    return runPass(std::move(text), DirectiveKind::Conditional, [this](const DirectiveMatch& m, size_t, std::string* out) {
        std::string value;
        const bool truth = lookup(m.name, &value) && !value.empty();
        *out = truth ? m.thenPart : m.elsePart;
        return true;
    });
}

std::string SSTProcessor::applySubstitutions(std::string text) {
    return runPass(std::move(text), DirectiveKind::Substitution, [this](const DirectiveMatch& m, size_t, std::string* out) {
        if (!lookup(m.name, out)) out->clear();
        return true;
    });
}
