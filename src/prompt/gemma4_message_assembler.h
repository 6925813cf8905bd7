// The assembler of the Gemma4 family: thoughts in channels opened by
// "<|channel>", a channel name and a line feed, closed by "<channel|>"; tool
// calls between "<|tool_call>" and "<tool_call|>"; turns ending in
// "<turn|>". Markers are single tokens of these models, so they are
// recognised only as whole pieces.
//
// A channel name longer than 32 bytes without a line feed is taken as the
// start of the thought text. A "<channel|>" with no open channel turns the
// answer text gathered so far into a thought (its text deltas were already
// published). A "<|channel>" or "<|tool_call>" inside an open thought starts
// afresh and drops the thought text gathered so far.
//
// REQUIRES external synchronization, as every assembler.
#pragma once

#include "prompt/message_assembler.h"

class Gemma4MessageAssembler final : public ModelMessageAssembler {
public:
    // Stops at "<turn|>", "<|tool_response>" or "<|turn>" arriving as a
    // piece, packaging what is open exactly as at the end of the pieces: a
    // cut thought as a "thought" block, a cut tool call as a partial
    // "tool_call" block, then the answer text.
    std::vector<ModelMessageT> assemble(const PieceSource& next,
                                        const SnapshotCallback& onSnapshot) override;

    // Starts in "tool_call" when the prompt ends with "<|tool_call>", in
    // "thought" when the text after its last "<|channel>" is "thought" apart
    // from blanks, tabs and line ends; else in "message".
    void primeFromRawPrompt(const std::string& prompt) override;

    // "<turn|>", "<|tool_response>", "<|turn>".
    std::vector<std::string> stopStrings() const override;

    // The part type the next assemble() starts in.
    const std::string& initialPartType() const { return initialPartType_; }

    // Packages non-empty answer text as a "message" block and empties it.
    void flushBody(AssemblingSnapshot& snapshot, std::vector<ModelMessageT>& out);

private:
    void onChannelClose(AssemblingSnapshot& snapshot, std::vector<ModelMessageT>& out);
    void onChannelName(const std::string& piece, AssemblingSnapshot& snapshot);
    void packageAtEnd(AssemblingSnapshot& snapshot, std::vector<ModelMessageT>& out);

    std::string initialPartType_ = "message";
    std::string block_;
    std::string answer_;
    std::string pendingUtf8_;
    bool readingChannelName_ = false;
    std::string channelName_;
};
