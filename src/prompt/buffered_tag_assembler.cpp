#include "prompt/buffered_tag_assembler.h"

#include <algorithm>

#include "base/utf8.h"
#include "prompt/assembler_pull.h"

namespace {

struct TagMatch {
    const std::string* tag = nullptr;
    size_t position = std::string::npos;
};

// An empty tag would match everywhere and consume nothing; it never matches.
void considerTag(const std::string& carry, const std::string& tag, TagMatch& best) {
    if (tag.empty()) return;
    const size_t position = carry.find(tag);
    if (position == std::string::npos) return;
    // The earliest tag wins; at the same place the longer one, so that a tag
    // that begins with another is not cut short.
    if (position < best.position || (position == best.position && tag.size() > best.tag->size())) {
        best.tag = &tag;
        best.position = position;
    }
}

// The length of the longest end of `text` that is the beginning of `tag`
// (shorter than the whole tag).
size_t partialTagAtEnd(const std::string& text, const std::string& tag) {
    const size_t most = std::min(text.size(), tag.empty() ? size_t{0} : tag.size() - 1);
    for (size_t k = most; k > 0; --k) {
        if (text.compare(text.size() - k, k, tag, 0, k) == 0) return k;
    }
    return 0;
}

}  // namespace

BufferedTagAssembler::BufferedTagAssembler(const BufferedTagConfig& tags) : tags_(tags) {
    longestTag_ = std::max({tags_.thinkOpen.size(), tags_.thinkClose.size(), tags_.toolCallOpen.size(),
                            tags_.toolCallClose.size()});
    holdBackLimit_ = 2 * longestTag_ + 16;
}

std::unique_ptr<ModelMessageAssembler> makeBufferedTagAssembler(const char* thinkOpen,
                                                                const char* thinkClose,
                                                                const char* toolCallOpen,
                                                                const char* toolCallClose) {
    BufferedTagConfig tags;
    tags.thinkOpen = thinkOpen;
    tags.thinkClose = thinkClose;
    tags.toolCallOpen = toolCallOpen;
    tags.toolCallClose = toolCallClose;
    return std::make_unique<BufferedTagAssembler>(tags);
}

void BufferedTagAssembler::appendMessageText(const std::string& text, AssemblingSnapshot& snapshot) {
    answer_ += text;
    appendUtf8Delta(pendingUtf8_, text, snapshot);
}

void BufferedTagAssembler::appendThoughtText(const std::string& text, bool last, AssemblingSnapshot& snapshot) {
    block_ += text;
    snapshot.thoughtDelta = releaseUtf8(pendingThought_, text);
    if (last && !pendingThought_.empty()) {
        // The thought ends here: an incomplete character can no longer be completed.
        snapshot.thoughtDelta += kUtf8Replacement;
        pendingThought_.clear();
    }
}

bool BufferedTagAssembler::scanTags(std::vector<ModelMessageT>& out, AssemblingSnapshot& snapshot,
                                    const SnapshotCallback& onSnapshot) {
    TagMatch match;
    if (mode_ == "message") {
        considerTag(carry_, tags_.thinkOpen, match);
        considerTag(carry_, tags_.toolCallOpen, match);
    } else if (mode_ == "thought") {
        considerTag(carry_, tags_.thinkClose, match);
    } else {
        considerTag(carry_, tags_.toolCallClose, match);
    }
    if (match.tag == nullptr) return false;

    const std::string before = carry_.substr(0, match.position);
    carry_.erase(0, match.position + match.tag->size());

    if (mode_ == "message") {
        if (!before.empty()) {
            appendMessageText(before, snapshot);
            onSnapshot(snapshot);
        }
        if (!answer_.empty()) {
            snapshot.partType = "message";
            out.push_back(makeModelMessage(snapshot, "message", answer_));
            answer_.clear();
        }
        mode_ = match.tag == &tags_.thinkOpen ? "thought" : "tool_call";
        block_.clear();
        snapshot.partType = mode_;
    } else {
        if (mode_ == "thought") {
            appendThoughtText(before, true, snapshot);
        } else {
            block_ += before;
        }
        snapshot.partType = mode_;
        out.push_back(makeModelMessage(snapshot, mode_, block_));
        block_.clear();
        mode_ = "message";
        snapshot.partType = "message";
    }
    snapshot.textDelta.clear();
    onSnapshot(snapshot);
    snapshot.thoughtDelta.clear();
    return true;
}

std::vector<ModelMessageT> BufferedTagAssembler::assemble(const PieceSource& next,
                                                          const SnapshotCallback& onSnapshot) {
    AssemblingSnapshot snapshot;
    std::vector<ModelMessageT> out;
    std::string piece;
    while (pullPiece(next, piece, snapshot)) {
        carry_ += piece;
        // Every tag of this piece, not only the first: a second tag left in the
        // carry could otherwise be released as text.
        bool consumed = false;
        while (scanTags(out, snapshot, onSnapshot)) consumed = true;
        if (mode_ == "thought") {
            // Only the closing tag can end a thought: all but a possible
            // beginning of it is thought text, streamed with this piece.
            const size_t release = carry_.size() - partialTagAtEnd(carry_, tags_.thinkClose);
            if (release == 0) continue;
            appendThoughtText(carry_.substr(0, release), false, snapshot);
            carry_.erase(0, release);
            onSnapshot(snapshot);
            snapshot.thoughtDelta.clear();
            continue;
        }
        if (consumed || carry_.size() <= holdBackLimit_) continue;

        // Keep the longest tag's length: any tag that begins in the released
        // part ends inside the carry, so released text never holds a tag's
        // beginning.
        const size_t release = carry_.size() - longestTag_;
        const std::string text = carry_.substr(0, release);
        carry_.erase(0, release);
        if (mode_ == "message") {
            appendMessageText(text, snapshot);
        } else {
            block_ += text;
        }
        onSnapshot(snapshot);
    }

    // Tags still held back are consumed before the rest is packaged as text.
    while (scanTags(out, snapshot, onSnapshot)) {
    }
    snapshot.lastPiece.clear();
    snapshot.textDelta.clear();
    if (mode_ == "message") {
        // The held-back tail goes out as live text too, so the streamed text
        // equals the packaged answer.
        appendMessageText(carry_, snapshot);
    } else if (mode_ == "thought") {
        appendThoughtText(carry_, true, snapshot);
    } else {
        block_ += carry_;
    }
    carry_.clear();
    flushUtf8Delta(pendingUtf8_, snapshot);
    onSnapshot(snapshot);

    if (mode_ != "message") {
        out.push_back(makeModelMessage(snapshot, mode_, block_));
        block_.clear();
    } else if (!answer_.empty()) {
        out.push_back(makeModelMessage(snapshot, "message", answer_));
        answer_.clear();
    }
    return out;
}
