// Message assemblers: turn the text a chat model generates, pulled one piece
// at a time, into finished blocks (the answer "message", the reasoning
// "thought", and "tool_call"s), publishing a live snapshot after every piece.
//
// One assembler class per model family, chosen by the model's "assembler"
// key (the same key that chooses the prompt renderer). One assembler serves
// one generation: it is made and primed on the request's thread, then
// assemble() runs once, possibly on a generation worker thread.
//
// Thread-safety: REQUIRES external synchronization; one thread at a time.
// Both callbacks run synchronously on the thread that runs assemble().
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The live state of one assemble() call, published after every piece. The
// snapshot callback receives a reference that is valid only during the call.
struct AssemblingSnapshot {
    AssemblingSnapshot();  // start values below, startedAtMs from the clock

    // 2 at the start; only families with message headers change it: 1 while a
    // header is read or between messages, 2 inside a message body.
    int32_t phase = 2;
    // Pulls so far, the final pull that reports the end included.
    int64_t pieceCount = 0;
    // Wall-clock whole seconds since the epoch times 1000, when assemble()
    // began (one-second granularity, like updatedAtMs).
    int64_t startedAtMs = 0;
    // Same clock, at the latest pull; 0 before the first.
    int64_t updatedAtMs = 0;
    // The latest piece exactly as the source gave it; empty after the end.
    std::string lastPiece;
    std::string role = "assistant";
    // Message text released by the latest pull, always complete UTF-8; empty
    // when the pull released none. Only "message" text is ever released here.
    std::string textDelta;
    // Thought text released by the latest pull, without the thought's
    // markers; empty when the pull released none. Pieces may split a
    // character here (only the buffered-tag assembler, which releases text in
    // runs, holds an incomplete tail back).
    std::string thoughtDelta;
    // "message", "thought", "tool_call", or "unknown" while a message header
    // is read. A consumer streams thinking from a non-empty thoughtDelta and
    // answer text from a non-empty textDelta.
    std::string partType = "message";
};

// One finished block, a plain record.
struct ModelMessageT {
    std::string role;
    // Where the family put the block: "message", "thought", "tool_call", or
    // a family's own channel or recipient name.
    std::string channel;
    // "message", "thought" or "tool_call": the snapshot's partType when the
    // block was packaged.
    std::string metaType;
    std::string contentType = "text/plain";
    // The block's text without its markers.
    std::string content;
    // The snapshot's startedAtMs: the same for every block of a generation.
    int64_t startedAtMs = 0;
    // The snapshot's updatedAtMs when the block was packaged.
    int64_t endedAtMs = 0;
    // The snapshot's pieceCount when the block was packaged, counted from the
    // start of assemble() (not of the block), cut to 32 bits.
    uint32_t tokens = 0;
    // True only for a tool call that the generation left unfinished.
    bool partial = false;
};

// The four tags of the buffered-tag assembler, from the model's load
// settings.
struct BufferedTagConfig {
    std::string thinkOpen = "<think>";
    std::string thinkClose = "</think>";
    std::string toolCallOpen = "<tool_call>";
    std::string toolCallClose = "</tool_call>";
};

// Stores the next piece of generated text in its argument and returns true,
// or returns false (argument emptied) when the generation is over.
using PieceSource = std::function<bool(std::string&)>;
using SnapshotCallback = std::function<void(const AssemblingSnapshot&)>;

class ModelMessageAssembler {
public:
    ModelMessageAssembler() = default;
    ModelMessageAssembler(const ModelMessageAssembler&) = delete;
    ModelMessageAssembler& operator=(const ModelMessageAssembler&) = delete;
    virtual ~ModelMessageAssembler() = default;

    // Pulls pieces from `next` until it returns false (or until the family
    // meets its end-of-turn text as a whole piece), publishing one snapshot
    // per piece through `onSnapshot` (families that hold text back may skip
    // some), and returns the finished blocks in the order they were packaged.
    // Call once per assembler. Accepts any text; an exception thrown by
    // either callback passes out unchanged.
    virtual std::vector<ModelMessageT> assemble(const PieceSource& next,
                                                const SnapshotCallback& onSnapshot) = 0;

    // Tells the assembler the complete prompt text the model is about to
    // continue, so that it starts inside an open thought, tool call or header
    // when the prompt ends in one. Call at most once, before assemble().
    // The base version does nothing.
    virtual void primeFromRawPrompt(const std::string& prompt);

    // The family's end-of-turn texts, in a fixed order; the engine stops on
    // those that are single tokens of the model. Base: empty. Never throws.
    virtual std::vector<std::string> stopStrings() const;
};

// Makes the assembler for a model's "assembler" key (exact, case-sensitive):
// "qwen3" and "qwen30" the Qwen3 assembler, "qwen35" the Qwen35 assembler,
// "gemma4", "gpt-oss", "tolv" and "tolv-wistrel" their families' assemblers,
// "buffered_tag" the buffered-tag assembler with `tags` (the default tags,
// with a level-2 warning, when `tags` is null), "default" the default
// assembler; any other key the default assembler after a level-2 warning.
// Never returns null.
std::unique_ptr<ModelMessageAssembler> createMessageAssembler(const std::string& key,
                                                              const BufferedTagConfig* tags);

// --- Helpers shared by the families -------------------------------------

// A block with role, metaType (the snapshot's partType), startedAtMs,
// endedAtMs (updatedAtMs) and tokens (pieceCount) from the snapshot, the
// three texts as given, partial false.
ModelMessageT makeModelMessage(const AssemblingSnapshot& snapshot, const std::string& channel,
                               const std::string& content,
                               const std::string& contentType = "text/plain");

// Sets the snapshot's partType to "tool_call" and returns a "tool_call"
// block with `content` and partial true.
ModelMessageT makePartialToolCall(AssemblingSnapshot& snapshot, const std::string& content);

// Appends message text to `pending` and sets snapshot.textDelta to the
// longest prefix of `pending` that is well-formed UTF-8, removing it from
// `pending`. Only an incomplete tail that may still become valid (at most 3
// bytes) waits for later text; bytes that can never form a valid sequence are
// released as U+FFFD, so one bad byte never stops the live text. The caller
// keeps the original bytes in its block text.
void appendUtf8Delta(std::string& pending, const std::string& text, AssemblingSnapshot& snapshot);

// At the end of a generation: an incomplete tail left in `pending` can no
// longer be completed; appends it to snapshot.textDelta as U+FFFD and empties
// `pending`. Does nothing when `pending` is empty.
void flushUtf8Delta(std::string& pending, AssemblingSnapshot& snapshot);

// The wall-clock time in whole seconds since the epoch, times 1000: the clock
// of every snapshot time stamp.
int64_t assemblerClockMs();
