// Assemblers of the ChatML families: thoughts between "<think>" and
// "</think>", tool calls between "<tool_call>" and "</tool_call>", turns
// ending in "<|im_end|>". Markers are single tokens of these models, so they
// are recognised only as whole pieces; there is no hold-back. The inner text
// of a tool call is passed on unparsed (JSON for qwen3, the <function=...>
// form for qwen35).
//
// Both classes package an open thought, and an open tool call as a partial
// tool call, on every way the generation can end: the end of the pieces and
// an end-of-turn piece alike.
#pragma once

#include "prompt/message_assembler.h"

class Qwen3FamilyAssembler : public ModelMessageAssembler {
public:
    std::vector<ModelMessageT> assemble(const PieceSource& next,
                                        const SnapshotCallback& onSnapshot) override;

    // Starts in "tool_call" when the prompt ends with "<tool_call>", in
    // "thought" when its last "<think>" is followed only by blanks, tabs and
    // line ends, else in "message".
    void primeFromRawPrompt(const std::string& prompt) override;

    // "<|im_end|>", "<|im_start|>", "<|endoftext|>".
    std::vector<std::string> stopStrings() const override;

    // The part type the next assemble() starts in.
    const std::string& initialPartType() const { return initialPartType_; }

protected:
    // `tag` is the log tag of the concrete class ("Qwen3Assembler" or
    // "Qwen35Assembler").
    explicit Qwen3FamilyAssembler(const char* tag, bool isQwen35) : tag_(tag), isQwen35_(isQwen35) {}

    // Packages a cut thought: in state "thought" with non-empty block text, a
    // "thought" block. Empties the block text.
    void flushCutThought(AssemblingSnapshot& snapshot, std::vector<ModelMessageT>& out);

private:
    void packageOpenBlocks(AssemblingSnapshot& snapshot, std::vector<ModelMessageT>& out);
    void packageAnswer(AssemblingSnapshot& snapshot, std::vector<ModelMessageT>& out);

    const char* const tag_;
    const bool isQwen35_;
    std::string initialPartType_ = "message";
    std::string block_;
    std::string answer_;
    std::string pendingUtf8_;
};

// Keys "qwen3" and "qwen30".
class Qwen3MessageAssembler final : public Qwen3FamilyAssembler {
public:
    Qwen3MessageAssembler() : Qwen3FamilyAssembler("Qwen3Assembler", false) {}
};

// Key "qwen35". Also logs every finished tool call at level 6.
class Qwen35MessageAssembler final : public Qwen3FamilyAssembler {
public:
    Qwen35MessageAssembler() : Qwen3FamilyAssembler("Qwen35Assembler", true) {}
    using Qwen3FamilyAssembler::flushCutThought;
};
