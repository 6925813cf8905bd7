#include "prompt/gemma4_renderer.h"

#include <stdexcept>

#include "prompt/prompt_text.h"

using nlohmann::json;

std::string Gemma4Renderer::render(const MessageList& /*messages*/,
                                   const RenderOptions& /*options*/) const {
    throw std::logic_error("gemma4 prompt rendering is not supported yet");
}

std::string Gemma4Renderer::turnEndToken() const { return "<turn|>\n"; }

bool Gemma4Renderer::toolCallMarkers(std::string& open, std::string& close) const {
    open = "<|tool_call>";
    close = "<tool_call|>";
    return true;
}

bool Gemma4Renderer::continuesTurnAfterToolResult(const MessageList& messages) const {
    if (messages.empty()) return false;
    std::vector<Gemma4ToolResult> results;
    std::string name;
    return gemma4ToolResults(messages.front(), results, name);
}

bool Gemma4Renderer::thinkingMarkers(std::string& open, std::string& close,
                                     std::string& closeThenAnswer) const {
    open = "<|channel>";
    close = "<channel|>";
    closeThenAnswer = "\n<channel|>";
    return true;
}

std::string Gemma4Renderer::thinkingPrefix() const { return "<|channel>thought\n"; }

bool gemma4ToolResults(const json& message, std::vector<Gemma4ToolResult>& results, std::string& name) {
    name.clear();
    const std::string role = message.value("role", std::string());
    if (role == "tool") {
        name = message.value("name", std::string());
        std::string id;
        if (message.contains("tool_call_id")) {
            id = message["tool_call_id"].get<std::string>();
        } else if (message.contains("tool_use_id")) {
            id = message["tool_use_id"].get<std::string>();
        }
        results.push_back({id, messageContentText(message)});
        return true;
    }
    if (role != "user") return false;
    const auto content = message.find("content");
    if (content == message.end() || !content->is_array() || content->empty()) return false;
    for (const json& block : *content) {
        if (!block.is_object() || block.value("type", std::string()) != "tool_result") return false;
    }
    for (const json& block : *content) {
        const json single = {{"content", json::array({block})}};
        results.push_back({block.value("tool_use_id", std::string()), messageContentText(single)});
    }
    return true;
}
