// The renderer for models without a known chat format ("default" and every
// unknown key): the plain texts of the messages, one per line, with no roles,
// markers or system header, so the model simply continues the text. It has
// no turn end, thoughts or tool-call markers.
#pragma once

#include "prompt/chat_prompt_renderer.h"

class RawRenderer final : public LLMChatPromptRenderer {
public:
    // The text of every message (whatever its role) followed by "\n"; the
    // options are ignored. An empty list gives "".
    std::string render(const MessageList& messages, const RenderOptions& options) const override;

    // Each history message's "content" read as a string (absent: "") and
    // "\n", then userText without a line feed. The system prompt and options
    // are ignored. Throws json::type_error when a history message is not an
    // object or its "content" is not a string.
    std::string renderConversation(const MessageList& history, const std::string& userText,
                                   const std::string& systemPrompt,
                                   const RenderOptions& options) const override;

    std::string turnEndToken() const override { return std::string(); }
    std::string thinkingPrefix() const override { return std::string(); }
};
