// What a chat answer consists of: each finished block of the message
// assembler becomes a content block ("thinking", "text" or "tool_use") with
// its token count, tool calls get their ids and raw text, and the message
// object closes a streamed answer ("message.completed") or forms the body of
// a non-streamed one.
//
// ReplyState is touched by one thread at a time: the generation worker while
// it runs, the connection thread after joining it. REQUIRES external
// synchronization.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "api/chat_usage.h"
#include "prompt/message_assembler.h"

class Mivrel;

// One request's running answer.
struct ReplyState {
    int deltaIndex = 0;
    int64_t lastBlockEndMs = 0;  // starts at the generation start mark
    int prevTokens = 0;
    int outputTokens = 0;
    nlohmann::json content = nlohmann::json::array();
    std::string toolIdPrefix;  // "call_" + epoch ms + "_"
    int toolCounter = 0;
    std::string rawOutput;
};

// Where the raw text of a resumed tool call comes from.
struct ToolCallRawSource {
    bool merged = false;
    bool isContinue = false;
    std::string lastPhase;           // the instance's open phase before the claim
    std::string partialToolCallRaw;  // the instance's pending tool call before the claim
    std::string partialHead;         // the primed head up to "<|message|>", or empty
};

// The raw text of a tool-call block: the first tool call of an answer that
// resumes an unfinished one is the earlier partial text followed by the new
// text (a repeated partialHead dropped); every other one is its content.
std::string toolCallRawText(const ModelMessageT& message, ToolCallRawSource& source);

// Whether a tool-call block is really unfinished: its partial flag, unless
// the generation ended on the family's own end of a tool call ("<|call|>" or
// "<|eot|>"). REQUIRES: the caller drives the instance's engine.
bool isPartialToolCall(const ModelMessageT& message, Mivrel& mivrel);

// Converts one finished block, appends it to state.content and returns its
// token count (the growth of the block's running count); adds that count to
// the answer and to the instance's output counters (atomically).
int appendContentBlock(const ModelMessageT& message, ReplyState& state, ToolCallRawSource& source, Mivrel& mivrel);

// The message object after the generation: {"content", "id", "role",
// "usage"} (and the raw prompts with `debugPrompt`). Marks the usage context's
// partialToolCall from the content and fills "usage" through makeUsageJson.
// REQUIRES: the claim on the instance.
nlohmann::json buildMessageObject(const std::string& messageId, ReplyState& state, int64_t inputTokens,
                                  int64_t genStartMs, Mivrel& mivrel, UsageContext& usage, bool debugPrompt,
                                  const std::string& inputRawPrompt);
