#include "prompt/qwen3_renderer.h"

#include "base/text_util.h"
#include "prompt/prompt_text.h"

using nlohmann::json;

namespace {

const char kDefaultSystemText[] = "You are a helpful assistant.";

const char kQwen3ToolsHead[] =
    "# Tools\n\nYou may call one or more functions to assist with the user query.\n\n"
    "You are provided with function signatures within <tools></tools> XML tags:\n<tools>";
const char kQwen3ToolsTail[] =
    "\n</tools>\n\nFor each function call, return a json object with function name and arguments "
    "within <tool_call></tool_call> XML tags:\n<tool_call>\n"
    "{\"name\": <function-name>, \"arguments\": <args-json-object>}\n</tool_call><|im_end|>\n";

const char kQwen35ToolsHead[] = "# Tools\n\nYou have access to the following functions:\n\n<tools>";
const char kQwen35Instructions[] =
    "\n\nIf you choose to call a function ONLY reply in the following format with NO suffix:\n\n"
    "<tool_call>\n<function=example_function_name>\n<parameter=example_parameter_1>\nvalue_1\n"
    "</parameter>\n<parameter=example_parameter_2>\nThis is the value for the second parameter\n"
    "that can span\nmultiple lines\n</parameter>\n</function>\n</tool_call>\n\n<IMPORTANT>\n"
    "Reminder:\n- Function calls MUST follow the specified format: an inner <function=...></function> "
    "block must be nested within <tool_call></tool_call> XML tags\n"
    "- Required parameters MUST be specified\n"
    "- You may provide optional reasoning for your function call in natural language BEFORE the "
    "function call, but NOT after\n"
    "- If there is no function call available, answer the question like normal with your current "
    "knowledge and do not tell the user about function calls\n</IMPORTANT>";

std::string stringMember(const json& object, const char* key, const char* fallback = "") {
    return object.value(key, std::string(fallback));
}

std::string thinkingSuffix(const RenderOptions& options) {
    if (options.noThinking || options.think <= 0) return "<think>\n\n</think>\n\n";
    if (options.think == 1) return std::string();
    return "<think>\n";
}

bool hasTools(const RenderOptions& options) {
    return options.tools.is_array() && !options.tools.empty();
}

// Whether `message` carries tool results, and their texts: a "tool" message
// (one result), or a user message made only of tool_result blocks (one per
// block).
bool qwen3ToolResults(const json& message, std::vector<std::string>& results) {
    const std::string role = stringMember(message, "role");
    if (role == "tool") {
        results.push_back(messageContentText(message));
        return true;
    }
    if (role != "user") return false;
    const auto content = message.find("content");
    if (content == message.end() || !content->is_array() || content->empty()) return false;
    for (const json& block : *content) {
        if (!block.is_object() || stringMember(block, "type") != "tool_result") return false;
    }
    for (const json& block : *content) {
        results.push_back(messageContentText(json{{"content", json::array({block})}}));
    }
    return true;
}

std::string qwen35ParameterValue(const json& value) {
    if (value.is_object() || value.is_array()) return toJsonSpaced(value);
    if (value.is_string()) return value.get<std::string>();
    return value.dump();
}

std::string qwen3ToolCall(const json& call, bool isQwen35) {
    const auto raw = call.find("raw");
    if (raw != call.end() && raw->is_string() && !raw->get_ref<const std::string&>().empty()) {
        // The call exactly as the model wrote it keeps the context identical
        // to what the model generated.
        return "<tool_call>" + raw->get<std::string>() + "</tool_call>";
    }
    const std::string name = stringMember(call, "name");
    const json arguments = call.contains("input") ? call["input"] : json::object();
    if (!isQwen35) {
        return "<tool_call>\n{\"name\": \"" + name + "\", \"arguments\": " + toJsonSpaced(arguments) +
               "}\n</tool_call>";
    }
    std::string out = "<tool_call>\n<function=" + name + ">\n";
    if (arguments.is_object()) {
        for (auto it = arguments.begin(); it != arguments.end(); ++it) {
            out += "<parameter=" + it.key() + ">\n" + qwen35ParameterValue(it.value()) + "\n</parameter>\n";
        }
    }
    out += "</function>\n</tool_call>";
    return out;
}

// The body of a past assistant turn: its text and tool calls. Thoughts of
// earlier turns are never written back.
std::string qwen3AssistantContent(const json& message, bool isQwen35) {
    std::string text;
    std::vector<const json*> calls;
    const auto content = message.find("content");
    if (content != message.end()) {
        if (content->is_string()) {
            text = content->get<std::string>();
        } else if (content->is_array()) {
            for (const json& block : *content) {
                if (!block.is_object()) continue;
                const std::string type = stringMember(block, "type");
                if (type == "text") {
                    text += stringMember(block, "text");
                } else if (type == "tool_use") {
                    calls.push_back(&block);
                }
            }
        }
    }
    if (isQwen35) text = trimWhitespace(text);

    std::string out = text;
    for (size_t k = 0; k < calls.size(); ++k) {
        if (k > 0) {
            out += "\n";
        } else if (!text.empty()) {
            out += isQwen35 ? "\n\n" : "\n";
        }
        out += qwen3ToolCall(*calls[k], isQwen35);
    }
    return out;
}

// One declaration line: typed tools pass through; a flat tool object is
// wrapped as a function with name, description and parameters first.
std::string qwen3ToolDeclaration(const json& tool) {
    if (!tool.is_object() || tool.contains("type")) return toJsonSpaced(tool);

    static const char* const kLeading[] = {"name", "description", "parameters"};
    std::string inner = "{";
    bool needSeparator = false;
    auto writeMember = [&](const std::string& key, const json& value) {
        if (needSeparator) inner += ", ";
        needSeparator = true;
        inner += json(key).dump();
        inner += ": ";
        if (key == "parameters" && value.is_object()) {
            inner += toJsonSpacedKeysFirst(value, {"type", "properties", "required"});
        } else {
            inner += toJsonSpaced(value);
        }
    };
    for (const char* key : kLeading) {
        const auto it = tool.find(key);
        if (it != tool.end()) writeMember(key, *it);
    }
    for (auto it = tool.begin(); it != tool.end(); ++it) {
        const std::string& key = it.key();
        if (key == "name" || key == "description" || key == "parameters") continue;
        writeMember(key, it.value());
    }
    inner += "}";
    return "{\"type\": \"function\", \"function\": " + inner + "}";
}

std::string qwen3ToolList(const json& tools) {
    std::string out;
    for (const json& tool : tools) {
        out += "\n";
        out += qwen3ToolDeclaration(tool);
    }
    return out;
}

}  // namespace

std::string qwenMessageText(const Qwen3Renderer& renderer, const std::string& text) {
    return renderer.isQwen35() ? trimWhitespace(text) : text;
}

std::string Qwen3Renderer::render(const MessageList& messages, const RenderOptions& options) const {
    std::string out;

    std::string systemText;
    bool hasSystemMessage = false;
    size_t start = 0;
    if (!messages.empty()) {
        const std::string role = stringMember(messages.front(), "role");
        if (role == "system" || role == "developer") {
            systemText = qwenMessageText(*this, messageContentText(messages.front()));
            hasSystemMessage = true;
            start = 1;
        }
    }
    if (!hasSystemMessage && options.defaultSystem) systemText = kDefaultSystemText;

    if (hasTools(options)) {
        out += renderToolsSystem(systemText, options.tools);
    } else if (hasSystemMessage || options.defaultSystem) {
        out += "<|im_start|>system\n" + systemText + "<|im_end|>\n";
    }

    for (size_t i = start; i < messages.size(); ++i) {
        std::vector<std::string> results;
        if (qwen3ToolResults(messages[i], results)) {
            // A run of tool-result messages answers one round of calls: one
            // user turn holds them all.
            while (i + 1 < messages.size() && qwen3ToolResults(messages[i + 1], results)) ++i;
            out += "<|im_start|>user";
            for (const std::string& result : results) {
                out += "\n<tool_response>\n" + result + "\n</tool_response>";
            }
            out += "<|im_end|>\n";
            continue;
        }
        const std::string role = stringMember(messages[i], "role", "user");
        if (role == "assistant") {
            out += "<|im_start|>assistant\n" + qwen3AssistantContent(messages[i], isQwen35_) +
                   "<|im_end|>\n";
            continue;
        }
        const std::string turnRole = role == "developer" ? "system" : role;
        out += "<|im_start|>" + turnRole + "\n" + qwenMessageText(*this, messageContentText(messages[i])) +
               "<|im_end|>\n";
    }

    out += "<|im_start|>assistant\n";
    out += thinkingSuffix(options);
    return out;
}

std::string Qwen3Renderer::renderConversation(const MessageList& history, const std::string& userText,
                                              const std::string& systemPrompt,
                                              const RenderOptions& options) const {
    std::string systemText = systemPrompt.empty() ? std::string(kDefaultSystemText) : systemPrompt;
    if (hasTools(options)) systemText += "\n\n## Available Tools\n\n" + options.tools.dump(2);

    std::string out = "<|im_start|>system\n" + systemText + "\n<|im_end|>\n";
    for (const json& message : history) {
        out += "<|im_start|>" + stringMember(message, "role", "user") + "\n" +
               stringMember(message, "content") + "\n<|im_end|>\n";
    }
    out += "<|im_start|>user\n" + userText + "\n<|im_end|>\n";
    out += "<|im_start|>assistant\n";
    out += thinkingSuffix(options);
    return out;
}

std::string Qwen3Renderer::renderToolsSystem(const std::string& systemText, const json& tools) const {
    std::string out = "<|im_start|>system\n";
    if (isQwen35_) {
        out += kQwen35ToolsHead;
        out += qwen3ToolList(tools);
        out += "\n</tools>";
        out += kQwen35Instructions;
        if (!systemText.empty()) out += "\n\n" + systemText;
        out += "<|im_end|>\n";
    } else {
        if (!systemText.empty()) out += systemText + "\n\n";
        out += kQwen3ToolsHead;
        out += qwen3ToolList(tools);
        out += kQwen3ToolsTail;
    }
    return out;
}

std::string Qwen3Renderer::turnEndToken() const { return "<|im_end|>\n"; }

bool Qwen3Renderer::toolCallMarkers(std::string& open, std::string& close) const {
    open = "<tool_call>";
    close = "</tool_call>";
    return true;
}

bool Qwen3Renderer::thinkingMarkers(std::string& open, std::string& close,
                                    std::string& closeThenAnswer) const {
    open = "<think>";
    close = "</think>";
    closeThenAnswer = "\n</think>\n\n";
    return true;
}

std::string Qwen3Renderer::thinkingPrefix() const { return "<think>\n"; }
