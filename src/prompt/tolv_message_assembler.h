// The assembler of the Tolv family: messages as in GPT-OSS, but the header
// names a recipient after "to=" ("self" a thought, "user" or none the
// answer, anything else a tool call), messages end in "<|eom|>", turns in
// "<|eot|>" or "<|end_of_text|>". A header that names a speaker other than
// the assistant (the model starting the user's turn) ends the assembly.
//
// REQUIRES external synchronization, as every assembler.
#pragma once

#include "prompt/gpt_oss_message_assembler.h"

class TolvMessageAssembler final : public GptOssMessageAssembler {
public:
    void parseHeader() override;
    void flushMessage(AssemblingSnapshot& snapshot, std::vector<ModelMessageT>& out) override;

    // The header text without blanks, tabs, carriage returns and line feeds
    // at either end.
    std::string trimmedHeader() const;
    // Whether the trimmed header is non-empty and is neither a beginning of
    // "assistant" nor begins with it.
    bool isForeignHeader() const;

protected:
    const char* tag() const override { return "TolvAssembler"; }
    bool isEndPiece(const std::string& piece) const override;
    const char* messageEnd() const override { return "<|eom|>"; }
    const char* answerChannel() const override { return "user"; }
    const char* emptyBlockChannel() const override { return "user"; }
    bool stopsAtHeader(AssemblingSnapshot& snapshot, std::vector<ModelMessageT>& out) override;
    bool cutToolCall(bool sourceEnded) const override;
    void logPrimed() const override;
};
