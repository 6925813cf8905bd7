// Message builders shared by the Gemma4, GPT-OSS and Tolv prompt tests.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "prompt/chat_prompt_renderer.h"

namespace family_test {

using nlohmann::json;

inline json msg(const std::string& role, const json& content) { return json{{"role", role}, {"content", content}}; }
inline json text(const std::string& t) { return json{{"type", "text"}, {"text", t}}; }
inline json toolUse(const std::string& id, const std::string& name, const json& input) {
    return json{{"type", "tool_use"}, {"id", id}, {"name", name}, {"input", input}};
}
// A tool_use block as the server hands it back: only the id and the raw text.
inline json rawToolUse(const std::string& id, const std::string& raw) {
    return json{{"type", "tool_use"}, {"id", id}, {"raw", raw}};
}
inline json toolResult(const std::string& id, const json& content) {
    return json{{"type", "tool_result"}, {"tool_use_id", id}, {"content", content}};
}
inline json toolMessage(const std::string& id, const std::string& content) {
    return json{{"role", "tool"}, {"tool_call_id", id}, {"content", content}};
}

inline RenderOptions options(int think, bool defaultSystem = true, bool noThinking = false) {
    RenderOptions o;
    o.think = think;
    o.defaultSystem = defaultSystem;
    o.noThinking = noThinking;
    return o;
}

}  // namespace family_test
