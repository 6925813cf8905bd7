#include "prompt/tolv_renderer.h"

#include <map>

#include "prompt/gpt_oss_renderer.h"
#include "prompt/prompt_text.h"
#include "prompt/tolv_tools.h"

using nlohmann::json;

namespace {

const char kTolvDefaultSystem[] = "You are a helpful AI assistant.";
const char kTolvKnowledgeCutoff[] = "2026-01-04";

std::string lowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

bool isToolResultsMessage(const json& message) {
    const auto content = message.find("content");
    if (content == message.end() || !content->is_array() || content->empty()) return false;
    for (const json& block : *content) {
        if (!block.is_object() || block.value("type", std::string()) != "tool_result") return false;
    }
    return true;
}

struct TolvToolNames {
    std::map<std::string, std::string> byId;
    std::string lastToolName;

    std::string resolve(const std::string& id) const {
        if (!id.empty()) {
            const auto it = byId.find(id);
            if (it != byId.end()) return it->second;
        }
        if (!lastToolName.empty()) return lastToolName;
        if (byId.size() == 1) return byId.begin()->second;
        return std::string();
    }
};

TolvToolNames collectNames(const json& priorToolCalls, const MessageList& messages) {
    TolvToolNames names;
    if (priorToolCalls.is_array()) {
        for (const json& call : priorToolCalls) {
            if (!call.is_object()) continue;
            const std::string name = tolvNameFromRaw(call.value("raw", std::string()));
            if (!name.empty()) names.byId[call.value("id", std::string())] = name;
        }
    }
    for (const json& message : messages) {
        if (message.value("role", std::string()) != "assistant") continue;
        for (const TolvToolCall& call : collectTolvToolCalls(message)) {
            if (!call.id.empty() && !call.name.empty()) names.byId[call.id] = call.name;
        }
    }
    return names;
}

void writeAssistant(const json& message, TolvToolNames& names, std::string& out) {
    const std::string thinking = assistantThinkingText(message);
    if (!thinking.empty()) out += "<|start|>assistant to=self<|message|>" + thinking + "<|eom|>";
    const std::vector<TolvToolCall> calls = collectTolvToolCalls(message);
    const std::string text = plainContentText(message);
    if (calls.empty()) {
        out += "<|start|>assistant to=user<|message|>" + text + "<|eot|>";
        names.lastToolName.clear();
        return;
    }
    if (!text.empty()) out += "<|start|>assistant to=user<|message|>" + text + "<|eom|>";
    for (size_t k = 0; k < calls.size(); ++k) {
        const TolvToolCall& call = calls[k];
        if (!call.raw.empty() && call.raw.find("<|message|>") != std::string::npos) {
            // The call as the model wrote it, so the context matches its own
            // output byte for byte.
            out += call.raw;
        } else {
            out += "<|start|>assistant to=" + call.name + "<|message|>" +
                   (call.raw.empty() ? atemCallBlock(call.name, call.input) : call.raw);
        }
        out += k + 1 == calls.size() ? "<|eot|>" : "<|eom|>";
        names.lastToolName = call.name;
    }
}

}  // namespace

std::string TolvRenderer::render(const MessageList& messages, const RenderOptions& options) const {
    const int level = options.noThinking ? 0 : options.think;
    const bool hasTools = options.tools.is_array() && !options.tools.empty();
    std::string instructions;
    bool supplied = false;
    size_t start = 0;
    if (!messages.empty()) {
        const std::string role = messages.front().value("role", std::string());
        if (role == "system" || role == "developer") {
            instructions = messageContentText(messages.front());
            supplied = true;
            start = 1;
        }
    }

    std::string out;
    if (supplied || options.defaultSystem) {
        out += "<|start|>system<|message|>";
        if (supplied) {
            out += instructions;
        } else {
            out += std::string(kTolvDefaultSystem) + "\nKnowledge cutoff: " + kTolvKnowledgeCutoff + "." +
                   "\nCurrent date: " + today_() + ".";
        }
        if (lowerAscii(instructions).find("reasoning strength") == std::string::npos) {
            out += "\n\nReasoning strength: " + tolvEffortName(level) + ".";
        }
        if (hasTools) out += "\n\n" + tolvToolPrompt(options.tools);
        out += "\n\n" + tolvRecipientsLine(options.tools) + "<|eot|>";
    } else if (hasTools) {
        out += "<|start|>system<|message|>" + tolvToolPrompt(options.tools) + "\n\n" +
               tolvRecipientsLine(options.tools) + "<|eot|>";
    }

    TolvToolNames names = collectNames(options.priorToolCalls, messages);
    for (size_t i = start; i < messages.size(); ++i) {
        const json& message = messages[i];
        const std::string role = message.value("role", std::string("user"));
        if (role == "user") {
            if (isToolResultsMessage(message)) {
                for (const json& block : message["content"]) {
                    std::string name = block.value("name", std::string());
                    if (name.empty()) name = names.resolve(block.value("tool_use_id", std::string()));
                    out += tolvToolOutputMessage(name, messageContentText(json{{"content", json::array({block})}}));
                }
            } else {
                out += "<|start|>user<|message|>" + messageContentText(message) + "<|eot|>";
            }
        } else if (role == "assistant") {
            writeAssistant(message, names, out);
        } else if (role == "tool") {
            std::string name = message.value("name", std::string());
            if (name.empty()) {
                name = names.resolve(message.value("tool_call_id", message.value("tool_use_id", std::string())));
            }
            out += tolvToolOutputMessage(name, messageContentText(message));
        } else if (role == "system" || role == "developer") {
            out += "<|start|>system<|message|>" + messageContentText(message) + "<|eot|>";
        }
    }

    out += "<|start|>assistant";
    const bool toolsInPlay = hasTools || options.hasTools;
    if (options.noThinking || (level <= 0 && !toolsInPlay)) {
        out += " to=user<|message|>";
    } else if (level >= 2 && !toolsInPlay) {
        out += " to=self<|message|>";
    }
    return out;
}

std::string TolvRenderer::turnEndToken() const { return "<|eot|>"; }

bool TolvRenderer::thinkingMarkers(std::string& open, std::string& close,
                                   std::string& closeThenAnswer) const {
    open = "to=self<|message|>";
    close = "<|eom|>";
    closeThenAnswer = "<|eom|><|start|>assistant to=user<|message|>";
    return true;
}

std::string TolvRenderer::thinkingPrefix() const { return "<|start|>assistant to=self<|message|>"; }

std::string tolvEffortName(int level) {
    if (level <= 0) return "low";
    if (level == 1) return "high";
    return "xhigh";
}

std::string plainContentText(const json& message) {
    const auto content = message.find("content");
    if (content == message.end()) return std::string();
    if (content->is_string()) return content->get<std::string>();
    if (!content->is_array()) return std::string();
    std::string text;
    for (const json& block : *content) {
        if (block.is_object() && block.value("type", std::string()) == "text") {
            text += block.value("text", std::string());
        }
    }
    return text;
}

std::vector<TolvToolCall> collectTolvToolCalls(const json& message) {
    std::vector<TolvToolCall> calls;
    const auto toolCalls = message.find("tool_calls");
    if (toolCalls != message.end() && toolCalls->is_array()) {
        for (const json& entry : *toolCalls) {
            if (!entry.is_object()) continue;
            const json& source = toolFunctionObject(entry);
            TolvToolCall call;
            call.id = entry.value("id", std::string());
            call.name = source.value("name", std::string());
            call.input = source.contains("arguments") ? source["arguments"] : json::object();
            calls.push_back(std::move(call));
        }
    }
    const auto content = message.find("content");
    if (content != message.end() && content->is_array()) {
        for (const json& block : *content) {
            if (!block.is_object() || block.value("type", std::string()) != "tool_use") continue;
            TolvToolCall call;
            call.id = block.value("id", std::string());
            const std::string raw = block.value("raw", std::string());
            if (!raw.empty()) {
                call.raw = raw;
                call.name = tolvNameFromRaw(call.raw);
                call.input = nullptr;
            } else {
                call.name = block.value("name", std::string());
                call.input = block.contains("input") ? block["input"] : json::object();
            }
            calls.push_back(std::move(call));
        }
    }
    return calls;
}
