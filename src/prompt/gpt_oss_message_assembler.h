// The assembler of the GPT-OSS family, whose model writes every message as
// "<|start|>", a header, "<|message|>", the body and an end marker, several
// messages per turn. The header's channel decides the block: "analysis" (and
// any other named channel) a thought, "final" the answer, "commentary" with
// a "to=" recipient a tool call, whose block holds the message's raw text
// from its "<|start|>" (or the primed head) to the end of its body.
//
// The Tolv assembler (tolv_message_assembler.h) shares the state and most
// rules and overrides the family hooks below. Markers are single tokens of
// these models, so they are recognised only as whole pieces.
//
// REQUIRES external synchronization, as every assembler.
#pragma once

#include "prompt/message_assembler.h"

class GptOssMessageAssembler : public ModelMessageAssembler {
public:
    GptOssMessageAssembler() = default;

    // Ends at "<|return|>" or "<|call|>" arriving as a piece, or when the
    // pieces end; packages the open message; a tool call cut by the end of
    // the pieces is partial. Returns one empty "message" block when nothing
    // else was packaged.
    std::vector<ModelMessageT> assemble(const PieceSource& next,
                                        const SnapshotCallback& onSnapshot) override;

    // A prompt ending with "<|start|>assistant" starts in that header; one
    // ending with a message header ("<|start|>...<|message|>") starts in its
    // body; any other prompt starts in an answer body.
    void primeFromRawPrompt(const std::string& prompt) override;

    // Empties the current message: header, raw and body texts, channel and
    // pending UTF-8, back to a "message" part outside a body.
    void resetMessage();

    // Sets the channel and the part type from the header text.
    virtual void parseHeader();

    // Packages the current message when it has a non-empty body.
    virtual void flushMessage(AssemblingSnapshot& snapshot, std::vector<ModelMessageT>& out);

    // State of the current message, for tests.
    bool inBody() const { return inBody_; }
    const std::string& channel() const { return channel_; }
    const std::string& partType() const { return partType_; }
    const std::string& headerText() const { return header_; }
    const std::string& rawText() const { return raw_; }

protected:
    // The family's fixed texts and rules.
    virtual const char* tag() const { return "GptOssAssembler"; }
    virtual bool isEndPiece(const std::string& piece) const;
    virtual const char* messageEnd() const { return "<|end|>"; }
    // Channel of the answer a prompt without a header leads into, and of the
    // empty block of a generation that packaged nothing.
    virtual const char* answerChannel() const { return "final"; }
    virtual const char* emptyBlockChannel() const { return "message"; }
    // Called after a header piece was published; returns true when the
    // assembly must end at once with `out` as its result.
    virtual bool stopsAtHeader(AssemblingSnapshot& snapshot, std::vector<ModelMessageT>& out);
    // Whether a tool call open at the end is unfinished. `sourceEnded` is
    // false when an end piece stopped the assembly.
    virtual bool cutToolCall(bool sourceEnded) const;
    virtual void logPrimed() const;

    bool inBody_ = false;
    std::string header_;
    std::string raw_;
    std::string body_;
    std::string channel_;
    std::string partType_ = "message";
    std::string pendingUtf8_;

private:
    void publishHeaderState(AssemblingSnapshot& snapshot) const;
};
