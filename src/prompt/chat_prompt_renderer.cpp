#include "prompt/chat_prompt_renderer.h"

#include "base/logger.h"
#include "prompt/gemma4_renderer.h"
#include "prompt/gpt_oss_renderer.h"
#include "prompt/qwen3_renderer.h"
#include "prompt/raw_renderer.h"
#include "prompt/tolv_renderer.h"

using nlohmann::json;

std::string LLMChatPromptRenderer::renderConversation(const MessageList& history,
                                                      const std::string& userText,
                                                      const std::string& systemPrompt,
                                                      const RenderOptions& options) const {
    MessageList messages;
    messages.reserve(history.size() + 2);
    if (!systemPrompt.empty()) messages.push_back(json{{"role", "system"}, {"content", systemPrompt}});
    messages.insert(messages.end(), history.begin(), history.end());
    messages.push_back(json{{"role", "user"}, {"content", userText}});
    return render(messages, options);
}

std::string LLMChatPromptRenderer::turnCloseFor(const std::string& /*stopToken*/) const {
    return turnEndToken();
}

bool LLMChatPromptRenderer::splitsInjectedText() const { return false; }

bool LLMChatPromptRenderer::toolCallMarkers(std::string& /*open*/, std::string& /*close*/) const {
    return false;
}

bool LLMChatPromptRenderer::continuesTurnAfterToolResult(const MessageList& /*messages*/) const {
    return false;
}

bool LLMChatPromptRenderer::thinkingMarkers(std::string& /*open*/, std::string& /*close*/,
                                            std::string& /*closeThenAnswer*/) const {
    return false;
}

std::unique_ptr<LLMChatPromptRenderer> createChatPromptRenderer(const std::string& key,
                                                                DateSource today) {
    logMessage(9, "[LLMChatPromptRenderer] 생성: %s", key.c_str());
    if (key == "qwen3") return std::make_unique<Qwen3Renderer>(false);
    if (key == "qwen35") return std::make_unique<Qwen3Renderer>(true);
    if (key == "gemma4") return std::make_unique<Gemma4Renderer>();
    if (key == "gpt-oss") return std::make_unique<GptOssRenderer>(std::move(today));
    if (key == "tolv-wistrel" || key == "tolv") return std::make_unique<TolvRenderer>(std::move(today));
    if (key == "default") return std::make_unique<RawRenderer>();
    logMessage(2, "[LLMChatPromptRenderer] 알 수 없는 타입: %s → raw 사용", key.c_str());
    return std::make_unique<RawRenderer>();
}
