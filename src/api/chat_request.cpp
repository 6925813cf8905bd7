#include "api/chat_request.h"

#include <algorithm>
#include <cstdio>

#include "base/field_limits.h"
#include "base/json_parse.h"
#include "engine/format_string.h"

namespace {

bool present(const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && !it->is_null();
}

// A boolean option: absent or null keeps the default; another type refuses.
bool readBool(const nlohmann::json& options, const char* key, bool& out, MessagesRequestError& error) {
    if (!present(options, key)) return true;
    const nlohmann::json& value = options[key];
    if (!value.is_boolean()) {
        error.message = std::string("\"") + key + "\" must be a boolean";
        return false;
    }
    out = value.get<bool>();
    return true;
}

int64_t integerValue(const nlohmann::json& value) {
    if (value.is_number_unsigned()) return static_cast<int64_t>(std::min<uint64_t>(value.get<uint64_t>(), INT64_MAX));
    return value.get<int64_t>();
}

}  // namespace

bool parseMessagesRequest(const std::string& body, MessagesRequest& out, MessagesRequestError& error) {
    nlohmann::json parsed;
    try {
        parsed = parseJson(body, JsonComments::Ignored);
    } catch (const nlohmann::json::parse_error& e) {
        error.message = invalidJsonMessage(e);
        return false;
    }
    if (!parsed.is_object()) {
        error.message = "request body must be a JSON object";
        return false;
    }

    if (present(parsed, "conversationId")) {
        if (!parsed["conversationId"].is_string()) {
            error.message = "\"conversationId\" must be a string";
            return false;
        }
        out.conversationId = parsed["conversationId"].get<std::string>();
        if (out.conversationId.size() > kMaxConversationIdLength) {
            error.message = fieldTooLongMessage("conversationId", kMaxConversationIdLength);
            return false;
        }
    }
    if (out.conversationId.empty()) {
        error.message = "conversationId is required";
        return false;
    }

    if (present(parsed, "conversation_control")) {
        const nlohmann::json& control = parsed["conversation_control"];
        if (!control.is_object() || !control.contains("action") || !control["action"].is_string()) {
            error.message = "\"conversation_control.action\" is required";
            return false;
        }
        out.turn.action = control["action"].get<std::string>();
        if (out.turn.action != "continue" && out.turn.action != "close_thinking") {
            error.message = "\"conversation_control.action\" must be \"continue\" or \"close_thinking\"";
            return false;
        }
        if (present(control, "message_id")) {
            if (!control["message_id"].is_string()) {
                error.message = "\"conversation_control.message_id\" must be a string";
                return false;
            }
            out.controlMessageId = control["message_id"].get<std::string>();
            if (out.controlMessageId.size() > kMaxConversationIdLength) {
                error.message = fieldTooLongMessage("conversation_control.message_id", kMaxConversationIdLength);
                return false;
            }
        }
    }

    if (present(parsed, "messages") && !parsed["messages"].is_array()) {
        error.message = "messages must be an array";
        return false;
    }
    out.turn.hasMessages = present(parsed, "messages") && !parsed["messages"].empty();
    if (out.turn.action == "continue" && out.turn.hasMessages) {
        error.message =
            "conversation_control \"continue\" cannot be combined with messages (send messages without "
            "conversation_control to give a new instruction)";
        return false;
    }
    if (!out.turn.hasMessages && out.turn.action.empty()) {
        error.message = "messages array is required";
        return false;
    }
    out.turn.messages = out.turn.hasMessages ? parsed["messages"] : nlohmann::json::array();

    if (parsed.contains("options") && parsed["options"].is_object()) out.options = parsed["options"];
    const nlohmann::json& options = out.options;
    if (!readBool(options, "stream", out.stream, error)) return false;
    if (!readBool(options, "mivrel_reset", out.mivrelReset, error)) return false;
    if (!readBool(options, "debug_prompt", out.debugPrompt, error)) return false;
    if (options.contains("show_gen_status") && options["show_gen_status"].is_boolean())
        out.turn.showGenStatus = options["show_gen_status"].get<bool>();
    if (!readBool(options, "apply_sampling", out.applySampling, error)) return false;
    if (options.contains("think")) {
        const nlohmann::json& think = options["think"];
        if (think.is_boolean()) {
            out.turn.think = think.get<bool>() ? 1 : 0;
        } else if (think.is_number_integer()) {
            out.turn.think = static_cast<int>(std::clamp<int64_t>(integerValue(think), 0, 2));
        }
    }
    if (present(options, "think_budget")) {
        if (!options["think_budget"].is_number_integer()) {
            error.message = "\"think_budget\" must be an integer";
            return false;
        }
        out.turn.hasBudget = true;
        out.turn.budget = integerValue(options["think_budget"]);
    }

    if (!out.turn.action.empty() && out.mivrelReset) {
        error.message = "conversation_control cannot be combined with mivrel_reset";
        return false;
    }
    if (parsed.contains("tools") && parsed["tools"].is_array()) out.turn.tools = parsed["tools"];
    return true;
}

bool validateSamplingOptions(const nlohmann::json& options, int64_t maxTokensLimit, std::string& error) {
    struct Bound {
        const char* key;
        bool integral;
        double lo, hi;  // for real-valued keys
        long long ilo, ihi;
    };
    const Bound bounds[] = {
        {"temperature", false, 0, 2, 0, 0},
        {"top_p", false, 0, 1, 0, 0},
        {"top_k", true, 0, 0, 0, 1000000},
        {"min_p", false, 0, 1, 0, 0},
        {"seed", true, 0, 0, -1, 4294967294LL},
        {"repeat_penalty", false, 1, 2, 0, 0},
        {"max_tokens", true, 0, 0, 1, static_cast<long long>(maxTokensLimit)},
    };
    if (!options.is_object()) return true;
    for (const Bound& b : bounds) {
        if (!present(options, b.key)) continue;
        const nlohmann::json& value = options[b.key];
        if (b.integral) {
            bool ok = value.is_number_integer();
            if (ok) {
                if (value.is_number_unsigned()) {
                    const uint64_t v = value.get<uint64_t>();
                    ok = b.ihi >= 0 && v <= static_cast<uint64_t>(b.ihi) && (b.ilo <= 0 || v >= static_cast<uint64_t>(b.ilo));
                } else {
                    const int64_t v = value.get<int64_t>();
                    ok = v >= b.ilo && v <= b.ihi;
                }
            }
            if (!ok) {
                error = formatString("\"%s\" must be an integer between %lld and %lld", b.key, b.ilo, b.ihi);
                return false;
            }
        } else {
            const bool ok = value.is_number() && value.get<double>() >= b.lo && value.get<double>() <= b.hi;
            if (!ok) {
                error = formatString("\"%s\" must be a number between %g and %g", b.key, b.lo, b.hi);
                return false;
            }
        }
    }
    return true;
}
