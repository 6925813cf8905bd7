// The prompt layout of the Tolv family (messages addressed to a recipient;
// turns end in "<|eot|>", thoughts are addressed "to=self" and end in
// "<|eom|>").
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "prompt/chat_prompt_renderer.h"

class TolvRenderer final : public LLMChatPromptRenderer {
public:
    // `today` supplies the "Current date:" of the system message.
    explicit TolvRenderer(DateSource today = formatLocalDate) : today_(std::move(today)) {}

    // The prompt of the messages: a system message (the leading system
    // message's text or the default text with the date, the reasoning
    // strength, the tool prompt, the recipients line) when one leads or the
    // prompt starts the context, else only the tool prompt when tools are
    // given; the messages (past reasoning kept, past tool calls restated as
    // atem blocks or copied from their raw text); then "<|start|>assistant"
    // with the recipient that the think level and tools decide. Throws
    // json::type_error on wrongly typed strings or non-object messages and
    // tool entries.
    std::string render(const MessageList& messages, const RenderOptions& options) const override;

    std::string turnEndToken() const override;
    bool splitsInjectedText() const override { return true; }
    bool thinkingMarkers(std::string& open, std::string& close,
                         std::string& closeThenAnswer) const override;
    std::string thinkingPrefix() const override;

private:
    DateSource today_;
};

// One tool call of an assistant message.
struct TolvToolCall {
    std::string id;
    std::string name;
    nlohmann::json input;
    std::string raw;
};

// "low" for a level of 0 and below, "high" for 1, "xhigh" for 2 and above.
std::string tolvEffortName(int level);

// The message's string "content", or the concatenated texts of its "text"
// blocks; "" otherwise.
std::string plainContentText(const nlohmann::json& message);

// The calls of an assistant message: its "tool_calls" entries, then its
// tool_use blocks (a block with a non-empty "raw" is named from the raw
// text and keeps it).
std::vector<TolvToolCall> collectTolvToolCalls(const nlohmann::json& message);
