#include "prompt/gemma4_renderer.h"

#include "base/text_util.h"
#include "prompt/gemma4_notation.h"
#include "prompt/prompt_text.h"

using nlohmann::json;

namespace {

// The text of a past model turn: text blocks and tool calls in block order.
// Sets `madeCall` when the turn holds a tool call.
std::string modelTurnText(const json& message, bool& madeCall) {
    const auto content = message.find("content");
    if (content == message.end() || !content->is_array()) return messageContentText(message);
    std::string text;
    for (const json& block : *content) {
        if (!block.is_object()) continue;
        const std::string type = block.value("type", std::string());
        if (type == "text") {
            text += block.value("text", std::string());
        } else if (type == "tool_use") {
            std::string call = block.value("raw", std::string());
            if (call.empty() && block.contains("name")) {
                // The name is read first so a wrongly typed one fails before
                // the arguments are written.
                const std::string name = block["name"].get<std::string>();
                const json input = block.contains("input") ? block["input"] : json::object();
                call = "call:" + name + gemma4Value(input, false);
            }
            text += "<|tool_call>" + call + "<tool_call|>";
            madeCall = true;
        }
    }
    return text;
}

}  // namespace

std::string Gemma4Renderer::render(const MessageList& messages, const RenderOptions& options) const {
    const bool thinkingOn = !options.noThinking && options.think >= 1;
    const bool hasTools = options.tools.is_array() && !options.tools.empty();

    std::string systemText;
    bool hasSystemMessage = false;
    size_t start = 0;
    if (!messages.empty()) {
        const std::string role = messages.front().value("role", std::string());
        if (role == "system" || role == "developer") {
            systemText = trimWhitespace(messageContentText(messages.front()));
            hasSystemMessage = true;
            start = 1;
        }
    }

    std::string out;
    if ((thinkingOn && options.defaultSystem) || hasSystemMessage || hasTools) {
        out += "<|turn>system\n";
        if (thinkingOn) out += "<|think|>\n";
        out += systemText;
        if (hasTools) {
            for (const json& tool : options.tools) out += gemma4ToolDeclaration(tool);
        }
        out += "<turn|>\n";
    }

    bool modelTurnOpen = false;
    bool lastWasToolResult = false;
    for (size_t i = start; i < messages.size(); ++i) {
        const json& message = messages[i];
        std::vector<Gemma4ToolResult> results;
        std::string statedName;
        if (gemma4ToolResults(message, results, statedName)) {
            for (const Gemma4ToolResult& result : results) {
                const std::string name = !statedName.empty()
                                             ? statedName
                                             : gemma4ToolResultName(result.id, options.priorToolCalls, messages);
                out += gemma4ToolResponse(name, result.text);
            }
            modelTurnOpen = true;
            lastWasToolResult = true;
            continue;
        }
        lastWasToolResult = false;
        const std::string role = message.value("role", std::string("user"));
        if (role == "assistant") {
            if (!modelTurnOpen) out += "<|turn>model\n";
            modelTurnOpen = false;
            const std::string text = modelTurnText(message, modelTurnOpen);
            out += gemma4StripThoughts(text);
            // A call answered by the results that follow keeps the turn open
            // for them; anything else ends the turn here.
            const bool resultsFollow = i + 1 < messages.size() && nextMessageHasToolResults(messages, i);
            if (!(modelTurnOpen && resultsFollow)) {
                out += "<turn|>\n";
                modelTurnOpen = false;
            }
            continue;
        }
        if (modelTurnOpen) {
            out += "<turn|>\n";
            modelTurnOpen = false;
        }
        const std::string turnRole = (role == "system" || role == "developer") ? "system" : "user";
        out += "<|turn>" + turnRole + "\n" + trimWhitespace(messageContentText(message)) + "<turn|>\n";
    }

    if (lastWasToolResult) return out;
    out += "<|turn>model\n";
    if (thinkingOn) out += "<|channel>thought\n";
    return out;
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

std::string gemma4StripThoughts(const std::string& text) {
    static const std::string kOpen = "<|channel>";
    static const std::string kClose = "<channel|>";
    std::string result;
    size_t position = 0;
    while (true) {
        const size_t close = text.find(kClose, position);
        const size_t segmentEnd = close == std::string::npos ? text.size() : close;
        const size_t open = text.find(kOpen, position);
        const size_t keepEnd = (open != std::string::npos && open < segmentEnd) ? open : segmentEnd;
        result.append(text, position, keepEnd - position);
        if (close == std::string::npos) break;
        position = close + kClose.size();
    }
    return trimWhitespace(result);
}
