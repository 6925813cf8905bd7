#include "prompt/gemma4_notation.h"

#include <utility>
#include <vector>

#include "base/json_parse.h"
#include "prompt/prompt_text.h"

using nlohmann::json;

const char kGemma4Quote[] = "<|\"|>";

namespace {

std::string quoted(const std::string& text) { return kGemma4Quote + text + kGemma4Quote; }

// "[" Q a Q "," Q b Q "]" for an array of strings.
std::string quotedStringList(const json& list) {
    std::string out = "[";
    bool needComma = false;
    for (const json& element : list) {
        appendCommaAfterFirst(needComma, out);
        out += quoted(element.get<std::string>());
    }
    out += "]";
    return out;
}

bool isNonEmptyArray(const json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_array() && !it->empty();
}

bool isObjectMember(const json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_object();
}

std::string schemaItems(const json& items) {
    std::string out;
    bool needComma = false;
    for (auto it = items.begin(); it != items.end(); ++it) {
        const json& value = it.value();
        if (value.is_null()) continue;
        appendCommaAfterFirst(needComma, out);
        const std::string& key = it.key();
        if (key == "properties" && value.is_object()) {
            out += "properties:{" + gemma4SchemaProperties(value) + "}";
        } else if (key == "required" && value.is_array()) {
            out += "required:" + quotedStringList(value);
        } else if (key == "type") {
            out += "type:";
            out += value.is_string() ? quoted(toUpperAscii(value.get<std::string>())) : gemma4Value(value, true);
        } else {
            out += key + ":" + gemma4Value(value, true);
        }
    }
    return out;
}

std::string schemaProperty(const std::string& key, const json& schema) {
    const std::string type = toUpperAscii(schema.value("type", std::string()));
    std::string out = key + ":{";
    bool needComma = false;

    const auto description = schema.find("description");
    if (description != schema.end() && description->is_string() &&
        !description->get_ref<const std::string&>().empty()) {
        appendCommaAfterFirst(needComma, out);
        out += "description:" + quoted(description->get<std::string>());
    }
    if (type == "STRING" && schema.contains("enum")) {
        appendCommaAfterFirst(needComma, out);
        out += "enum:" + gemma4Value(schema["enum"], true);
    }
    if (type == "ARRAY" && isObjectMember(schema, "items") && !schema["items"].empty()) {
        appendCommaAfterFirst(needComma, out);
        out += "items:{" + schemaItems(schema["items"]) + "}";
    }
    if (schema.value("nullable", false)) {
        appendCommaAfterFirst(needComma, out);
        out += "nullable:true";
    }
    if (type == "OBJECT" && isObjectMember(schema, "properties")) {
        appendCommaAfterFirst(needComma, out);
        out += "properties:{" + gemma4SchemaProperties(schema["properties"]) + "}";
        if (isNonEmptyArray(schema, "required")) {
            appendCommaAfterFirst(needComma, out);
            out += "required:" + quotedStringList(schema["required"]);
        }
    }
    appendCommaAfterFirst(needComma, out);
    out += "type:" + quoted(type) + "}";
    return out;
}

struct CandidateCall {
    std::string id;
    std::string text;
};

}  // namespace

std::string gemma4Value(const json& value, bool quoteKeys) {
    switch (value.type()) {
        case json::value_t::null:
            return "None";
        case json::value_t::boolean:
            return value.get<bool>() ? "true" : "false";
        case json::value_t::string:
            return quoted(value.get<std::string>());
        case json::value_t::array: {
            std::string out = "[";
            bool needComma = false;
            for (const json& element : value) {
                appendCommaAfterFirst(needComma, out);
                out += gemma4Value(element, quoteKeys);
            }
            return out + "]";
        }
        case json::value_t::object: {
            std::string out = "{";
            bool needComma = false;
            for (auto it = value.begin(); it != value.end(); ++it) {
                appendCommaAfterFirst(needComma, out);
                out += quoteKeys ? quoted(it.key()) : it.key();
                out += ":";
                out += gemma4Value(it.value(), quoteKeys);
            }
            return out + "}";
        }
        default:
            return value.dump();
    }
}

std::string gemma4ToolDeclaration(const json& tool) {
    const json& spec = isObjectMember(tool, "function") ? tool["function"] : tool;
    const std::string name = spec.value("name", std::string("unknown"));
    const std::string description = spec.value("description", std::string());
    std::string out = "<|tool>declaration:" + name + "{description:" + quoted(description);

    const auto parameters = spec.find("parameters");
    if (parameters != spec.end() && parameters->is_object() && !parameters->empty()) {
        out += ",parameters:{";
        if (isObjectMember(*parameters, "properties")) {
            out += "properties:{" + gemma4SchemaProperties((*parameters)["properties"]) + "},";
        }
        if (isNonEmptyArray(*parameters, "required")) {
            out += "required:" + quotedStringList((*parameters)["required"]) + ",";
        }
        out += "type:" + quoted(toUpperAscii(parameters->value("type", std::string("object")))) + "}";
    }
    out += "}<tool|>";
    return out;
}

std::string gemma4SchemaProperties(const json& properties) {
    std::string out;
    bool needComma = false;
    for (auto it = properties.begin(); it != properties.end(); ++it) {
        const std::string& key = it.key();
        if (key == "description" || key == "type" || key == "properties" || key == "required" ||
            key == "nullable") {
            continue;
        }
        if (!it.value().is_object()) continue;
        appendCommaAfterFirst(needComma, out);
        out += schemaProperty(key, it.value());
    }
    return out;
}

std::string gemma4ToolResponse(const std::string& name, const std::string& text) {
    const json parsed = parseJsonOrDiscarded(text);
    std::string body = "response:" + name;
    if (parsed.is_object()) {
        body += gemma4Value(parsed, false);
    } else {
        body += "{value:" + quoted(text) + "}";
    }
    return "<|tool_response>" + body + "<tool_response|>";
}

std::string gemma4ToolResultName(const std::string& resultId, const json& priorToolCalls,
                                 const MessageList& messages) {
    std::vector<CandidateCall> candidates;
    if (priorToolCalls.is_array()) {
        for (const json& call : priorToolCalls) {
            if (!call.is_object()) continue;
            candidates.push_back({call.value("id", std::string()), call.value("raw", std::string())});
        }
    }
    for (const json& message : messages) {
        if (message.value("role", std::string()) != "assistant") continue;
        const auto content = message.find("content");
        if (content == message.end() || !content->is_array()) continue;
        for (const json& block : *content) {
            if (!block.is_object() || block.value("type", std::string()) != "tool_use") continue;
            std::string text = block.value("raw", std::string());
            if (text.empty() && block.contains("name")) text = "call:" + block["name"].get<std::string>();
            candidates.push_back({block.value("id", std::string()), std::move(text)});
        }
    }
    if (!resultId.empty()) {
        for (const CandidateCall& candidate : candidates) {
            if (candidate.id != resultId) continue;
            std::string name = gemma4CallName(candidate.text);
            if (!name.empty()) return name;
        }
    }
    if (candidates.size() == 1) {
        std::string name = gemma4CallName(candidates.front().text);
        if (!name.empty()) return name;
    }
    return "unknown";
}

std::string gemma4CallName(const std::string& callText) {
    const size_t at = callText.find("call:");
    if (at == std::string::npos) return std::string();
    size_t end = at + 5;
    while (end < callText.size()) {
        const char c = callText[end];
        const bool nameChar = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                              c == '_' || c == '-' || c == '.';
        if (!nameChar) break;
        ++end;
    }
    return callText.substr(at + 5, end - at - 5);
}
