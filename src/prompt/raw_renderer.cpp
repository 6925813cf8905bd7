#include "prompt/raw_renderer.h"

#include "prompt/prompt_text.h"

std::string RawRenderer::render(const MessageList& messages, const RenderOptions& /*options*/) const {
    std::string out;
    for (const nlohmann::json& message : messages) {
        out += messageContentText(message);
        out += '\n';
    }
    return out;
}

std::string RawRenderer::renderConversation(const MessageList& history, const std::string& userText,
                                            const std::string& /*systemPrompt*/,
                                            const RenderOptions& /*options*/) const {
    std::string out;
    for (const nlohmann::json& message : history) {
        out += message.value("content", std::string());
        out += '\n';
    }
    out += userText;
    return out;
}
