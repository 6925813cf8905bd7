// The prompt layout of the GPT-OSS family (harmony messages with channels;
// turns end in "<|end|>", a tool call ends the turn with "<|call|>",
// thoughts go in the "analysis" channel).
#pragma once

#include <map>
#include <string>
#include <utility>

#include "prompt/chat_prompt_renderer.h"

class GptOssRenderer final : public LLMChatPromptRenderer {
public:
    // `today` supplies the "Current date:" of the system message.
    explicit GptOssRenderer(DateSource today = formatLocalDate) : today_(std::move(today)) {}

    // The prompt of the messages: the system message when the prompt starts
    // the context, a developer message with the leading system message's
    // instructions and the tools, the messages (a past tool call's raw text
    // copied byte for byte, thinking kept only for a call not yet answered in
    // this request), then "<|start|>assistant" ("<|channel|>final<|message|>"
    // added when thinking is off). Throws json::type_error on wrongly typed
    // strings or non-object messages and tool entries.
    std::string render(const MessageList& messages, const RenderOptions& options) const override;

    std::string turnEndToken() const override;
    // "<|call|>" after a generation that stopped at exactly "<|call|>",
    // "<|end|>" after any other stop.
    std::string turnCloseFor(const std::string& stopToken) const override;
    bool splitsInjectedText() const override { return true; }
    bool thinkingMarkers(std::string& open, std::string& close,
                         std::string& closeThenAnswer) const override;
    std::string thinkingPrefix() const override;

private:
    DateSource today_;
};

// The first tool call of an assistant message.
struct ToolCallInfo {
    std::string name;
    std::string arguments;
    std::string raw;
};

// "low" for a level of 0 and below, "medium" for 1, "high" for 2 and above.
std::string gptOssEffortName(int level);

// The name after the first "to=functions." of a raw call text, up to the
// first blank, "<", tab or line feed; empty when there is none.
std::string functionNameFromRaw(const std::string& raw);

// The thinking of an assistant message: its string "thinking" member, else
// the "thinking" of its first "thinking" content block, else "".
std::string assistantThinkingText(const nlohmann::json& message);

// Fills `info` from the first "tool_calls" entry or, failing that, the first
// tool_use block of the message; returns false (info untouched) when the
// message has neither.
bool firstToolCall(const nlohmann::json& message, ToolCallInfo& info);

// Tool-call id to function name, from the previous response's calls and the
// assistant messages of this request; later entries replace earlier ones.
std::map<std::string, std::string> collectToolNamesById(const nlohmann::json& priorToolCalls,
                                                        const MessageList& messages);

// One tool result message from "functions.NAME" ("unknown" when `name` is
// empty) with the text as a JSON string.
std::string gptOssToolResultMessage(const std::string& name, const std::string& text);
