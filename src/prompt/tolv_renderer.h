// The prompt layout of the Tolv family (messages addressed to a recipient;
// turns end in "<|eot|>", thoughts are addressed "to=self" and end in
// "<|eom|>").
#pragma once

#include <utility>

#include "prompt/chat_prompt_renderer.h"

class TolvRenderer final : public LLMChatPromptRenderer {
public:
    // `today` supplies the "Current date:" of the system message.
    explicit TolvRenderer(DateSource today = formatLocalDate) : today_(std::move(today)) {}

    // Not yet supported: throws std::logic_error.
    std::string render(const MessageList& messages, const RenderOptions& options) const override;

    std::string turnEndToken() const override;
    bool splitsInjectedText() const override { return true; }
    bool thinkingMarkers(std::string& open, std::string& close,
                         std::string& closeThenAnswer) const override;
    std::string thinkingPrefix() const override;

private:
    DateSource today_;
};
