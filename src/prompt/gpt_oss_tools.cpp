#include "prompt/gpt_oss_tools.h"

#include <algorithm>

#include "prompt/prompt_text.h"

using nlohmann::json;

namespace {

// The declaration of a tool entry: its "function" object when it has one.
const json& declarationOf(const json& entry) {
    const auto function = entry.find("function");
    if (function != entry.end() && function->is_object()) return *function;
    return entry;
}

bool isRequired(const json& schema, const std::string& name) {
    const auto required = schema.find("required");
    if (required == schema.end() || !required->is_array()) return false;
    return std::find(required->begin(), required->end(), json(name)) != required->end();
}

bool hasStringDescription(const json& schema) {
    const auto description = schema.find("description");
    return description != schema.end() && description->is_string();
}

std::string arrayType(const json& schema) {
    const auto items = schema.find("items");
    if (items == schema.end() || !items->is_object()) return "any[]";
    const auto itemType = items->find("type");
    if (itemType != items->end() && itemType->is_string()) {
        const std::string& type = itemType->get_ref<const std::string&>();
        if (type == "string") return "string[]";
        if (type == "number" || type == "integer") return "number[]";
        if (type == "boolean") return "boolean[]";
    }
    const std::string inner = typeScriptType(*items);
    if (inner == "object | object" || inner.size() > 50) return "any[]";
    return inner + "[]";
}

std::string oneOfType(const json& variants) {
    if (variants.size() > 1) {
        for (const json& variant : variants) {
            if (variant.is_object()) {
                const auto type = variant.find("type");
                if (type != variant.end() && *type == "object") return "any";
            }
        }
    }
    std::string out;
    bool first = true;
    for (const json& variant : variants) {
        if (!first) out += " | ";
        first = false;
        out += typeScriptType(variant);
        if (!variant.is_object()) continue;
        if (hasStringDescription(variant)) out += "// " + variant["description"].get<std::string>();
        if (variant.contains("default")) out += "// default: " + toJsonSpaced(variant["default"]);
    }
    return out;
}

std::string enumUnion(const json& values) {
    std::string out;
    bool first = true;
    for (const json& value : values) {
        if (!first) out += " | ";
        first = false;
        out += "\"";
        out += value.is_string() ? value.get<std::string>() : value.dump();
        out += "\"";
    }
    return out;
}

std::string objectType(const json& schema) {
    const auto properties = schema.find("properties");
    if (properties == schema.end() || !properties->is_object()) return "object";
    std::string out = "{\n";
    bool first = true;
    for (auto it = properties->begin(); it != properties->end(); ++it) {
        if (!first) out += ", ";
        first = false;
        out += it.key();
        if (!isRequired(schema, it.key())) out += "?";
        out += ": " + typeScriptType(it.value());
    }
    return out + "}";
}

std::string defaultText(const json& schema) {
    const json& value = schema["default"];
    const std::string own = value.is_string() ? value.get<std::string>() : toJsonSpaced(value);
    if (schema.contains("enum")) return ", // default: " + own;
    if (schema.contains("oneOf")) return "// default: " + own;
    return ", // default: " + toJsonSpaced(value);
}

std::string parameterEntry(const std::string& name, const json& schema, const json& parameters) {
    std::string out;
    if (schema.is_object() && hasStringDescription(schema)) {
        out += "// " + schema["description"].get<std::string>() + "\n";
    }
    out += name;
    if (!isRequired(parameters, name)) out += "?";
    out += ": " + typeScriptType(schema);
    if (schema.is_object() && schema.contains("default")) out += defaultText(schema);
    return out + ",\n";
}

}  // namespace

std::string gptOssToolNamespace(const json& tools) {
    std::string out = "## functions\n\nnamespace functions {\n\n";
    for (const json& entry : tools) {
        const json& declaration = declarationOf(entry);
        out += "// " + declaration.value("description", std::string()) + "\n";
        out += "type " + declaration.value("name", std::string()) + " = ";
        const auto parameters = declaration.find("parameters");
        const json* properties = nullptr;
        if (parameters != declaration.end() && parameters->is_object()) {
            const auto found = parameters->find("properties");
            if (found != parameters->end() && found->is_object() && !found->empty()) properties = &*found;
        }
        if (properties == nullptr) {
            out += "() => any;\n\n";
            continue;
        }
        out += "(_: {\n";
        for (auto it = properties->begin(); it != properties->end(); ++it) {
            out += parameterEntry(it.key(), it.value(), *parameters);
        }
        out += "}) => any;\n\n";
    }
    out += "} // namespace functions";
    return out;
}

std::string typeScriptType(const json& schema) {
    if (!schema.is_object()) return "any";
    const auto typeMember = schema.find("type");
    const std::string type =
        (typeMember != schema.end() && typeMember->is_string()) ? typeMember->get<std::string>() : std::string();
    const bool nullable = schema.value("nullable", false);

    if (type == "array") return arrayType(schema) + (nullable ? " | null" : "");
    if (typeMember != schema.end() && typeMember->is_array() && !typeMember->empty()) {
        std::string out;
        bool first = true;
        for (const json& name : *typeMember) {
            if (!first) out += " | ";
            first = false;
            out += name.is_string() ? name.get<std::string>() : std::string("any");
        }
        return out;
    }
    const auto oneOf = schema.find("oneOf");
    if (oneOf != schema.end() && oneOf->is_array()) return oneOfType(*oneOf);
    if (type == "string") {
        const auto values = schema.find("enum");
        if (values != schema.end() && values->is_array()) return enumUnion(*values);
        return nullable ? "string | null" : "string";
    }
    if (type == "number" || type == "integer") return "number";
    if (type == "boolean") return "boolean";
    if (type == "object") return objectType(schema);
    return "any";
}
