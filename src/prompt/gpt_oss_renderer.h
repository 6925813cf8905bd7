// The prompt layout of the GPT-OSS family (harmony messages with channels;
// turns end in "<|end|>", a tool call ends the turn with "<|call|>",
// thoughts go in the "analysis" channel).
#pragma once

#include <utility>

#include "prompt/chat_prompt_renderer.h"

class GptOssRenderer final : public LLMChatPromptRenderer {
public:
    // `today` supplies the "Current date:" of the system message.
    explicit GptOssRenderer(DateSource today = formatLocalDate) : today_(std::move(today)) {}

    // Not yet supported: throws std::logic_error.
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
