// The ChatML layout of the Qwen3 family: every turn is "<|im_start|>", the
// role, "\n", the text and "<|im_end|>\n"; thoughts between "<think>" and
// "</think>"; tools declared in the system turn; tool calls between
// "<tool_call>" and "</tool_call>". One class serves the keys "qwen3" and
// "qwen35"; the qwen35 form trims turn texts, writes tool calls in the
// <function=...> XML form and puts the system text after the tool
// instructions.
#pragma once

#include "prompt/chat_prompt_renderer.h"

class Qwen3Renderer final : public LLMChatPromptRenderer {
public:
    explicit Qwen3Renderer(bool isQwen35) : isQwen35_(isQwen35) {}

    bool isQwen35() const { return isQwen35_; }

    // The prompt of the messages: system turn (the leading system/developer
    // message, else the default system text when options.defaultSystem, with
    // the tools section when options.tools is a non-empty array), the turns,
    // then "<|im_start|>assistant\n" and the thinking suffix of options.think
    // and options.noThinking. Runs of tool-result messages become one user
    // turn; a past tool call with a non-empty "raw" is copied byte for byte.
    // Throws json::type_error on wrongly typed "role", "name", "type", "text".
    std::string render(const MessageList& messages, const RenderOptions& options) const override;

    // A simpler layout (system prompt or the default text, optional tools as
    // indented JSON, history turns with string contents, the user turn, the
    // generation prompt). No server path calls it. Throws json::type_error
    // when a history "role" or "content" is not a string.
    std::string renderConversation(const MessageList& history, const std::string& userText,
                                   const std::string& systemPrompt,
                                   const RenderOptions& options) const override;

    std::string turnEndToken() const override;
    bool toolCallMarkers(std::string& open, std::string& close) const override;
    bool thinkingMarkers(std::string& open, std::string& close,
                         std::string& closeThenAnswer) const override;
    std::string thinkingPrefix() const override;

    // The complete system turn of a prompt that declares tools, in this
    // object's form. `systemText` may be empty; `tools` is the non-empty
    // array of declarations.
    std::string renderToolsSystem(const std::string& systemText, const nlohmann::json& tools) const;

private:
    const bool isQwen35_;
};

// `text` trimmed of " \t\r\n" at both ends for a renderer in the qwen35 form,
// unchanged otherwise.
std::string qwenMessageText(const Qwen3Renderer& renderer, const std::string& text);
