// The turn layout of the Gemma4 family: "<|turn>", a role ("system", "user"
// or "model"), "\n", the text and "<turn|>\n"; thoughts in a channel between
// "<|channel>" and "<channel|>"; tool calls "<|tool_call>" ... "<tool_call|>"
// and tool results inside the model's own turn, which stays open from a call
// through its results.
#pragma once

#include <string>
#include <vector>

#include "prompt/chat_prompt_renderer.h"

class Gemma4Renderer final : public LLMChatPromptRenderer {
public:
    // The prompt of the messages: a system turn (thinking switch, system text
    // and tool declarations) when thinking starts a fresh context, a system
    // message leads or tools are given; then the turns, with tool calls and
    // their results inside one open model turn; then "<|turn>model\n" and,
    // when thinking is on, the open thought channel. A request that ends with
    // tool results ends right after them, inside the model turn. Thoughts of
    // past model turns are removed. Throws json::type_error on wrongly typed
    // strings.
    std::string render(const MessageList& messages, const RenderOptions& options) const override;

    std::string turnEndToken() const override;
    bool toolCallMarkers(std::string& open, std::string& close) const override;
    // True when the list is not empty and its first message is a tool-result
    // message (gemma4ToolResults): those results go into the model turn the
    // previous response left open.
    bool continuesTurnAfterToolResult(const MessageList& messages) const override;
    bool thinkingMarkers(std::string& open, std::string& close,
                         std::string& closeThenAnswer) const override;
    std::string thinkingPrefix() const override;
};

// One tool result of a Gemma4 tool-result message.
struct Gemma4ToolResult {
    std::string id;
    std::string text;
};

// Whether `message` is a tool-result message: role "tool" (one result, id
// from "tool_call_id", else "tool_use_id"; `name` from "name"), or role
// "user" whose content is a non-empty array made only of tool_result blocks
// (one result per block, id from "tool_use_id"; `name` stays empty). `name`
// is emptied first; `results` receives the results only when true is
// returned. Throws json::type_error on wrongly typed fields.
bool gemma4ToolResults(const nlohmann::json& message, std::vector<Gemma4ToolResult>& results,
                       std::string& name);

// The text of a past model turn without its thought sections: each
// "<|channel>" ... "<channel|>" goes with its markers, an unclosed
// "<|channel>" takes the rest of its segment, a stray "<channel|>" goes
// alone; the result is trimmed of white space at both ends.
std::string gemma4StripThoughts(const std::string& text);
