#include "prompt/tolv_tools.h"

#include <algorithm>

#include "base/json_parse.h"
#include "prompt/prompt_text.h"

using nlohmann::json;

const char kTolvToolIntroduction[] =
    "In this environment you have access to a set of tools you can use to answer the user's question.\n\n"
    "You can invoke a function by writing a \"<atem:function_calls>\" block like the following:\n"
    "<atem:function_calls>\n<atem:invoke name=\"$FUNCTION_NAME\">\n"
    "<atem:parameter name=\"$PARAMETER_NAME\">$PARAMETER_VALUE</atem:parameter>\n...\n</atem:invoke>\n"
    "</atem:function_calls>\n\n"
    "String and scalar parameters should be specified as is, while lists and objects should use JSON format. "
    "Note that spaces for string values are not stripped. The output is not expected to be valid XML and is "
    "parsed with regular expressions.\nHere are the functions available in JSONSchema format:\n"
    "// Tool metadata\n";

const char kTolvToolExample[] =
    "\n\nHere's an example of how to call a function in the tool set:\n"
    "(If the tool namespace is not specified, invoke the function directly as `example_function_name` rather "
    "than `example_tool_name.example_function_name`)\n\n"
    "to=example_tool_name.example_function_name\n\n<atem:function_calls>\n"
    "<atem:invoke name=\"example_tool_name.example_function_name\">\n"
    "<atem:parameter name=\"example_parameter_1\">value_1</atem:parameter>\n"
    "<atem:parameter name=\"example_parameter_2\">This is the value for the second parameter\n"
    "that can span\n\"multiple\" lines\n</atem:parameter>\n</atem:invoke>\n</atem:function_calls>";

namespace {

const char* const kPreferredSchemaKeys[] = {"type",  "title", "description", "properties",
                                            "items", "enum",  "required",    "default"};

bool isPreferredKey(const std::string& key) {
    return std::find(std::begin(kPreferredSchemaKeys), std::end(kPreferredSchemaKeys), key) !=
           std::end(kPreferredSchemaKeys);
}

std::string schemaMember(const std::string& key, const json& value, bool parentIsPropertiesMap) {
    const bool valueIsPropertiesMap = !parentIsPropertiesMap && key == "properties";
    return json(key).dump() + ": " + tolvSchemaText(value, valueIsPropertiesMap);
}

std::string parameterValueText(const json& value) {
    if (value.is_string()) return value.get<std::string>();
    if (value.is_object() || value.is_array()) return toJsonSpaced(value);
    // Booleans, null and numbers: their compact JSON text.
    return value.dump();
}

}  // namespace

const json& toolFunctionObject(const json& entry) {
    const auto function = entry.find("function");
    if (function != entry.end() && function->is_object()) return *function;
    return entry;
}

std::vector<std::string> toolNamespaces(const json& tools) {
    std::vector<std::string> namespaces;
    if (!tools.is_array()) return namespaces;
    for (const json& entry : tools) {
        const std::string name = toolFunctionObject(entry).value("name", std::string());
        std::string space = name.substr(0, name.find('.'));
        if (std::find(namespaces.begin(), namespaces.end(), space) == namespaces.end()) {
            namespaces.push_back(std::move(space));
        }
    }
    return namespaces;
}

std::string tolvToolPrompt(const json& tools) {
    std::string out = kTolvToolIntroduction;
    for (const std::string& space : toolNamespaces(tools)) {
        out += "{\"name\": " + toJsonSpaced(json(space)) + ", \"description\": \"\"}\n";
    }
    out += "// Function schemas";
    for (const json& entry : tools) {
        const json& declaration = toolFunctionObject(entry);
        out += "\n{\"name\": " + toJsonSpaced(json(declaration.value("name", std::string())));
        out += ", \"description\": " + toJsonSpaced(json(declaration.value("description", std::string())));
        out += ", \"parameters\": ";
        out += (declaration.is_object() && declaration.contains("parameters"))
                   ? tolvSchemaText(declaration["parameters"])
                   : std::string("{}");
        out += "}";
    }
    out += kTolvToolExample;
    return out;
}

std::string tolvRecipientsLine(const json& tools) {
    std::string out = "# Valid recipients: \"self\"";
    for (const std::string& space : toolNamespaces(tools)) out += ", \"" + space + ".*\"";
    out += ", \"user\".";
    return out;
}

std::string tolvSchemaText(const json& value, bool isPropertiesMap) {
    if (value.is_array()) {
        std::string out = "[";
        bool first = true;
        for (const json& element : value) {
            if (!first) out += ", ";
            first = false;
            out += tolvSchemaText(element, false);
        }
        return out + "]";
    }
    if (!value.is_object()) return toJsonSpaced(value);

    std::string out = "{";
    bool first = true;
    auto write = [&](const std::string& key, const json& member) {
        if (!first) out += ", ";
        first = false;
        out += schemaMember(key, member, isPropertiesMap);
    };
    if (!isPropertiesMap) {
        for (const char* key : kPreferredSchemaKeys) {
            const auto it = value.find(key);
            if (it != value.end()) write(key, *it);
        }
    }
    for (auto it = value.begin(); it != value.end(); ++it) {
        if (!isPropertiesMap && isPreferredKey(it.key())) continue;
        write(it.key(), it.value());
    }
    return out + "}";
}

std::string atemCallBlock(const std::string& name, const json& input) {
    json arguments = input;
    if (input.is_string()) {
        arguments = parseJsonOrDiscarded(input.get_ref<const std::string&>());
        if (arguments.is_discarded()) arguments = json::object();
    }
    std::string out = "<atem:function_calls>\n<atem:invoke name=\"" + name + "\">\n";
    if (arguments.is_object()) {
        for (auto it = arguments.begin(); it != arguments.end(); ++it) {
            out += "<atem:parameter name=\"" + it.key() + "\">" + parameterValueText(it.value()) +
                   "</atem:parameter>\n";
        }
    }
    out += "</atem:invoke>\n</atem:function_calls>";
    return out;
}

std::string tolvToolOutputMessage(const std::string& name, const std::string& text) {
    const std::string shown = name.empty() ? std::string("unknown") : name;
    return "<|start|>tool " + shown + "<|message|><tool_output name=\"" + shown + "\">\n" + text +
           "\n</tool_output><|eot|>";
}

std::string tolvNameFromRaw(const std::string& raw) {
    const size_t to = raw.find("to=");
    if (to != std::string::npos) {
        const size_t begin = to + 3;
        const size_t end = raw.find_first_of(" <\t\n", begin);
        const std::string candidate = raw.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        if (!candidate.empty() && candidate != "self" && candidate != "user") return candidate;
    }
    static const std::string kInvoke = "<atem:invoke name=\"";
    const size_t invoke = raw.find(kInvoke);
    if (invoke == std::string::npos) return std::string();
    const size_t begin = invoke + kInvoke.size();
    const size_t quote = raw.find('"', begin);
    if (quote == std::string::npos) return std::string();
    return raw.substr(begin, quote - begin);
}
