// The assembler for four configurable tag texts (thought open and close,
// tool call open and close) found anywhere in the generated text, even split
// over pieces: it holds back the newest bytes until it is sure they do not
// begin a tag.
#pragma once

#include <cstddef>

#include "prompt/message_assembler.h"

class BufferedTagAssembler final : public ModelMessageAssembler {
public:
    explicit BufferedTagAssembler(const BufferedTagConfig& tags);

    // Publishes no snapshot while it holds text back. A thought streams as
    // it comes (thoughtDelta, without tags): there only the beginning of the
    // closing tag is held back. Every tag that fits the
    // current mode is consumed, the earliest first, also when several arrive
    // in one piece and once more when the generation ends, so no tag reaches
    // the output as text. An unclosed thought or tool call is packaged at the
    // end (partial false).
    std::vector<ModelMessageT> assemble(const PieceSource& next,
                                        const SnapshotCallback& onSnapshot) override;

    // Consumes the earliest tag in the carry that fits the current mode,
    // packaging blocks and publishing snapshots as it goes. Returns whether
    // it consumed one.
    bool scanTags(std::vector<ModelMessageT>& out, AssemblingSnapshot& snapshot,
                  const SnapshotCallback& onSnapshot);

    // Bytes of the carry allowed before text is released: twice the longest
    // tag plus 16.
    size_t holdBackLimit() const { return holdBackLimit_; }

private:
    void appendMessageText(const std::string& text, AssemblingSnapshot& snapshot);
    // Adds thought text to the block and sets snapshot.thoughtDelta to what
    // of it is whole UTF-8; `last` ends the thought.
    void appendThoughtText(const std::string& text, bool last, AssemblingSnapshot& snapshot);

    BufferedTagConfig tags_;
    size_t longestTag_ = 0;
    size_t holdBackLimit_ = 0;
    std::string carry_;
    std::string block_;
    std::string answer_;
    std::string pendingUtf8_;
    std::string pendingThought_;
    std::string mode_ = "message";
};

// A buffered-tag assembler from four plain C strings.
std::unique_ptr<ModelMessageAssembler> makeBufferedTagAssembler(const char* thinkOpen,
                                                                const char* thinkClose,
                                                                const char* toolCallOpen,
                                                                const char* toolCallClose);
