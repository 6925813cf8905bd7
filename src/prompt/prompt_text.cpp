#include "prompt/prompt_text.h"

#include <algorithm>
#include <cctype>

#include "base/json_parse.h"
#include "prompt/gemma4_renderer.h"

using nlohmann::json;

namespace {

// A string member, "" when absent. Throws json::type_error when `object` is
// not an object or the member is not a string.
std::string stringMember(const json& object, const char* key) {
    return object.value(key, std::string());
}

std::string toolUseText(const json& block) {
    json call = json::object();
    call["arguments"] = block.contains("input") ? block["input"] : json::object();
    call["name"] = stringMember(block, "name");
    // The sorted kind already writes "arguments" before "name".
    return call.dump();
}

std::string toolResultText(const json& block) {
    const auto it = block.find("content");
    if (it == block.end()) return std::string();
    if (it->is_string()) return it->get<std::string>();
    std::string text;
    if (it->is_array()) {
        for (const json& element : *it) {
            // value() on a non-object element throws the library's type error,
            // as a wrongly typed element should.
            if (element.value("type", std::string()) == "text") text += stringMember(element, "text");
        }
    }
    return text;
}

void writeSpacedMember(const std::string& key, const json& value, bool& needSeparator,
                       std::string& out) {
    if (needSeparator) out += ", ";
    needSeparator = true;
    out += json(key).dump();  // strict: invalid UTF-8 in a key throws
    out += ": ";
    out += toJsonSpaced(value);
}

}  // namespace

std::string messageContentText(const json& message) {
    if (!message.is_object()) return std::string();
    const auto it = message.find("content");
    if (it == message.end()) return std::string();
    if (it->is_string()) return it->get<std::string>();
    if (!it->is_array()) return std::string();

    std::string text;
    for (const json& block : *it) {
        if (!block.is_object()) continue;
        const std::string type = stringMember(block, "type");
        if (type == "text") {
            text += stringMember(block, "text");
        } else if (type == "tool_result") {
            text += toolResultText(block);
        } else if (type == "tool_use") {
            text += toolUseText(block);
        }
    }
    return text;
}

std::string toJsonSpaced(const json& value) {
    if (value.is_object()) {
        std::string out = "{";
        bool needSeparator = false;
        for (auto it = value.begin(); it != value.end(); ++it) {
            writeSpacedMember(it.key(), it.value(), needSeparator, out);
        }
        out += "}";
        return out;
    }
    if (value.is_array()) {
        std::string out = "[";
        bool first = true;
        for (const json& element : value) {
            if (!first) out += ", ";
            first = false;
            out += toJsonSpaced(element);
        }
        out += "]";
        return out;
    }
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string toJsonSpacedKeysFirst(const json& value, const std::vector<std::string>& firstKeys) {
    if (value.is_null()) return "{}";
    // Anything but an object is refused with the library's own error
    // ("cannot use key() for non-object iterators").
    if (!value.is_object()) (void)value.begin().key();

    std::string out = "{";
    bool needSeparator = false;
    for (const std::string& key : firstKeys) {
        const auto it = value.find(key);
        if (it != value.end()) writeSpacedMember(key, *it, needSeparator, out);
    }
    for (auto it = value.begin(); it != value.end(); ++it) {
        if (std::find(firstKeys.begin(), firstKeys.end(), it.key()) != firstKeys.end()) continue;
        writeSpacedMember(it.key(), it.value(), needSeparator, out);
    }
    out += "}";
    return out;
}

std::string argumentsText(const json& arguments) {
    if (arguments.is_null()) return "{}";
    if (arguments.is_string()) {
        const std::string& text = arguments.get_ref<const std::string&>();
        const json parsed = parseJsonOrDiscarded(text);
        if (parsed.is_discarded()) return text;
        return toJsonSpaced(parsed);
    }
    return toJsonSpaced(arguments);
}

void appendCommaAfterFirst(bool& needComma, std::string& out) {
    if (needComma) out += ",";
    needComma = true;
}

bool nextMessageHasToolResults(const MessageList& messages, size_t index) {
    std::vector<Gemma4ToolResult> results;
    std::string name;
    return gemma4ToolResults(messages.at(index + 1), results, name);
}

std::string toUpperAscii(std::string text) {
    for (char& c : text) {
        // toupper takes an unsigned char value; a plain char above 0x7F would
        // be negative and undefined.
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}
