#include "prompt/gpt_oss_renderer.h"

#include "prompt/gpt_oss_tools.h"
#include "prompt/prompt_text.h"

using nlohmann::json;

namespace {

bool isToolResultBlock(const json& block) {
    return block.is_object() && block.value("type", std::string()) == "tool_result";
}

// A user message whose content is a non-empty array of tool_result blocks
// only.
bool isToolResultsMessage(const json& message) {
    const auto content = message.find("content");
    if (content == message.end() || !content->is_array() || content->empty()) return false;
    for (const json& block : *content) {
        if (!isToolResultBlock(block)) return false;
    }
    return true;
}

// Where a tool result's name comes from when the result does not state one.
struct ToolNameSources {
    std::map<std::string, std::string> byId;
    std::string lastToolName;
    std::string pendingToolName;

    std::string resolve(const std::string& id) const {
        if (!id.empty()) {
            const auto it = byId.find(id);
            if (it != byId.end() && !it->second.empty()) return it->second;
        }
        if (!lastToolName.empty()) return lastToolName;
        return pendingToolName;
    }
};

// Whether a later message of the request is an assistant answer without a
// tool call: then the call at `index` was answered within this request.
bool answeredLater(const MessageList& messages, size_t index) {
    for (size_t j = index + 1; j < messages.size(); ++j) {
        const json& later = messages[j];
        if (!later.is_object() || later.value("role", std::string()) != "assistant") continue;
        ToolCallInfo ignored;
        if (!firstToolCall(later, ignored)) return true;
    }
    return false;
}

}  // namespace

std::string GptOssRenderer::render(const MessageList& messages, const RenderOptions& options) const {
    const bool hasTools = options.tools.is_array() && !options.tools.empty();
    std::string instructions;
    size_t start = 0;
    if (!messages.empty()) {
        const std::string role = messages.front().value("role", std::string());
        if (role == "system" || role == "developer") {
            instructions = messageContentText(messages.front());
            start = 1;
        }
    }

    std::string out;
    if (options.defaultSystem) {
        out += "<|start|>system<|message|>You are ChatGPT, a large language model trained by OpenAI.";
        out += "\nKnowledge cutoff: 2024-06\nCurrent date: " + today_() + "\n\n";
        out += "Reasoning: " + gptOssEffortName(options.noThinking ? 0 : options.think) + "\n\n";
        out += "# Valid channels: analysis, commentary, final. Channel must be included for every message.";
        if (hasTools) out += "\nCalls to these tools must go to the commentary channel: 'functions'.";
        out += "<|end|>";
    }
    if (!instructions.empty() || hasTools) {
        out += "<|start|>developer<|message|>";
        if (!instructions.empty()) out += "# Instructions\n\n" + instructions + "\n\n";
        if (hasTools) out += "# Tools\n\n" + gptOssToolNamespace(options.tools);
        out += "<|end|>";
    }

    ToolNameSources names;
    if (options.priorToolCalls.is_array() && options.priorToolCalls.size() == 1 &&
        options.priorToolCalls[0].is_object()) {
        names.pendingToolName = functionNameFromRaw(options.priorToolCalls[0].value("raw", std::string()));
    }
    names.byId = collectToolNamesById(options.priorToolCalls, messages);

    for (size_t i = start; i < messages.size(); ++i) {
        const json& message = messages[i];
        const std::string role = message.value("role", std::string("user"));
        if (role == "user") {
            if (isToolResultsMessage(message)) {
                for (const json& block : message["content"]) {
                    std::string name = block.value("name", std::string());
                    if (name.empty()) name = names.resolve(block.value("tool_use_id", std::string()));
                    out += gptOssToolResultMessage(name, messageContentText(json{{"content", json::array({block})}}));
                }
            } else {
                out += "<|start|>user<|message|>" + messageContentText(message) + "<|end|>";
            }
        } else if (role == "assistant") {
            ToolCallInfo call;
            if (!firstToolCall(message, call)) {
                out += "<|start|>assistant<|channel|>final<|message|>" + messageContentText(message) + "<|end|>";
                names.lastToolName.clear();
                continue;
            }
            const std::string thinking = assistantThinkingText(message);
            if (!thinking.empty() && !answeredLater(messages, i)) {
                out += "<|start|>assistant<|channel|>analysis<|message|>" + thinking + "<|end|>";
            }
            if (call.raw.find("<|message|>") != std::string::npos) {
                out += call.raw + "<|call|>";
            } else {
                out += "<|start|>assistant to=functions." + call.name + "<|channel|>commentary json<|message|>" +
                       (call.arguments.empty() ? call.raw : call.arguments) + "<|call|>";
            }
            names.lastToolName = call.name;
        } else if (role == "tool") {
            std::string name = message.value("name", std::string());
            if (name.empty()) {
                const std::string id =
                    message.value("tool_call_id", message.value("tool_use_id", std::string()));
                name = names.resolve(id);
            }
            out += gptOssToolResultMessage(name, messageContentText(message));
        }
    }

    out += "<|start|>assistant";
    if (options.noThinking) out += "<|channel|>final<|message|>";
    return out;
}

std::string GptOssRenderer::turnEndToken() const { return "<|end|>"; }

std::string GptOssRenderer::turnCloseFor(const std::string& stopToken) const {
    if (stopToken == "<|call|>") return "<|call|>";
    return "<|end|>";
}

bool GptOssRenderer::thinkingMarkers(std::string& open, std::string& close,
                                     std::string& closeThenAnswer) const {
    open = "<|channel|>analysis<|message|>";
    close = "<|end|>";
    closeThenAnswer = "<|end|><|start|>assistant<|channel|>final<|message|>";
    return true;
}

std::string GptOssRenderer::thinkingPrefix() const {
    return "<|start|>assistant<|channel|>analysis<|message|>";
}

std::string gptOssEffortName(int level) {
    if (level <= 0) return "low";
    if (level == 1) return "medium";
    return "high";
}

std::string functionNameFromRaw(const std::string& raw) {
    static const std::string kPrefix = "to=functions.";
    const size_t at = raw.find(kPrefix);
    if (at == std::string::npos) return std::string();
    const size_t begin = at + kPrefix.size();
    const size_t end = raw.find_first_of(" <\t\n", begin);
    return raw.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

std::string assistantThinkingText(const json& message) {
    const auto thinking = message.find("thinking");
    if (thinking != message.end() && thinking->is_string()) return thinking->get<std::string>();
    const auto content = message.find("content");
    if (content == message.end() || !content->is_array()) return std::string();
    for (const json& block : *content) {
        if (block.is_object() && block.value("type", std::string()) == "thinking") {
            return block.value("thinking", std::string());
        }
    }
    return std::string();
}

bool firstToolCall(const json& message, ToolCallInfo& info) {
    const auto calls = message.find("tool_calls");
    if (calls != message.end() && calls->is_array() && !calls->empty()) {
        const json* source = &(*calls)[0];
        const auto function = source->find("function");
        if (function != source->end() && function->is_object()) source = &*function;
        info.name = source->value("name", std::string());
        const auto arguments = source->find("arguments");
        info.arguments = argumentsText(arguments != source->end() ? *arguments : json());
        info.raw.clear();
        return true;
    }
    const auto content = message.find("content");
    if (content == message.end() || !content->is_array()) return false;
    for (const json& block : *content) {
        if (!block.is_object() || block.value("type", std::string()) != "tool_use") continue;
        if (block.contains("name")) {
            info.name = block["name"].get<std::string>();
            const auto input = block.find("input");
            info.arguments = argumentsText(input != block.end() ? *input : json());
            info.raw.clear();
        } else {
            info.raw = block.value("raw", std::string());
            info.name = functionNameFromRaw(info.raw);
            info.arguments.clear();
        }
        return true;
    }
    return false;
}

std::map<std::string, std::string> collectToolNamesById(const json& priorToolCalls, const MessageList& messages) {
    std::map<std::string, std::string> byId;
    if (priorToolCalls.is_array()) {
        for (const json& call : priorToolCalls) {
            if (!call.is_object()) continue;
            const std::string name = functionNameFromRaw(call.value("raw", std::string()));
            if (!name.empty()) byId[call.value("id", std::string())] = name;
        }
    }
    for (const json& message : messages) {
        if (!message.is_object() || message.value("role", std::string()) != "assistant") continue;
        const auto calls = message.find("tool_calls");
        if (calls != message.end() && calls->is_array()) {
            for (const json& entry : *calls) {
                if (!entry.is_object()) continue;
                const json* source = &entry;
                const auto function = entry.find("function");
                if (function != entry.end() && function->is_object()) source = &*function;
                if (source->contains("name")) {
                    byId[entry.value("id", std::string())] = (*source)["name"].get<std::string>();
                }
            }
        }
        const auto content = message.find("content");
        if (content == message.end() || !content->is_array()) continue;
        for (const json& block : *content) {
            if (!block.is_object() || block.value("type", std::string()) != "tool_use") continue;
            const std::string name = block.contains("name") ? block["name"].get<std::string>()
                                                            : functionNameFromRaw(block.value("raw", std::string()));
            if (!name.empty()) byId[block.value("id", std::string())] = name;
        }
    }
    return byId;
}

std::string gptOssToolResultMessage(const std::string& name, const std::string& text) {
    return "<|start|>functions." + (name.empty() ? std::string("unknown") : name) +
           " to=assistant<|channel|>commentary<|message|>" + toJsonSpaced(json(text)) + "<|end|>";
}
