// Chat prompt renderers: turn a conversation (message JSON objects plus
// per-request options) into the exact prompt text of one model family, and
// answer questions about that family's turn, thought and tool-call markers.
//
// The renderer is chosen by the model's "assembler" key, the same key that
// chooses the message assembler (prompt/message_assembler.h), so the markers
// written into a prompt and the markers recognised in the output always
// belong to the same family.
//
// Message objects are of the key-sorted JSON kind (`nlohmann::json`): request
// bodies are parsed into it, so members are visited in ascending byte order
// of their keys. A message has "role" (string) and "content" (a string or an
// array of content blocks).
//
// Thread-safety: renderers hold no mutable state; one object may serve many
// calls, and distinct objects may be used from distinct threads. A renderer
// is normally made per request and used by that request's thread only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "prompt/local_date.h"

// A list of message objects, in conversation order. It is the array type of
// `nlohmann::json`, so `json.get_ref<const MessageList&>()` views a request's
// "messages" array without a copy.
using MessageList = nlohmann::json::array_t;

// The options of one rendering. Which fields a family honours is the
// family's; the raw renderer ignores them all.
struct RenderOptions {
    // Think level 0, 1 or 2. Values below 0 act as 0, above 2 as 2.
    int think = 1;
    // Tool declarations to write into this prompt. Left empty by the caller
    // when the request has none or when the same tools were already declared
    // to the model's live context.
    nlohmann::json tools = nlohmann::json::array();
    // Tools apply to this reply: the request carries a non-empty tools array,
    // or tools declared earlier to the live context still stand, whether or
    // not `tools` repeats them.
    bool hasTools = false;
    // Thinking is off whatever `think` says (decision scoring).
    bool noThinking = false;
    // This prompt starts the model's context (nothing decoded yet). Families
    // write their default system header only then, or when the messages bring
    // a system message.
    bool defaultSystem = true;
    // Tool calls of the instance's previous response: an array of objects
    // {"id": block id, "raw": the call's text as the model wrote it}.
    nlohmann::json priorToolCalls = nlohmann::json::array();
};

// The abstract renderer. Out-parameters of the marker operations are
// assigned (not appended to), and only when the operation returns true.
//
// Renderers catch nothing: a JSON value of the wrong type where a renderer
// reads a typed value ends the call with the JSON library's exception
// (nlohmann::json::type_error and friends), which the caller reports.
class LLMChatPromptRenderer {
public:
    LLMChatPromptRenderer() = default;
    LLMChatPromptRenderer(const LLMChatPromptRenderer&) = delete;
    LLMChatPromptRenderer& operator=(const LLMChatPromptRenderer&) = delete;
    virtual ~LLMChatPromptRenderer() = default;

    // Renders earlier messages, a new user text and a system prompt. The base
    // version builds the list [system (only when systemPrompt is non-empty),
    // history..., user(userText)] and calls render(). No server path calls
    // this; render() is the operation callers use.
    virtual std::string renderConversation(const MessageList& history,
                                           const std::string& userText,
                                           const std::string& systemPrompt,
                                           const RenderOptions& options) const;

    // The family's prompt text for exactly these messages with the tools of
    // the options, ending with the family's generation prompt (where it has
    // one). Throws the JSON library's exceptions on wrongly typed input.
    virtual std::string render(const MessageList& messages, const RenderOptions& options) const = 0;

    // The text that ends a model turn; placed in front of the next prompt
    // when the previous turn was left open. Empty for families without one.
    virtual std::string turnEndToken() const = 0;

    // The text that closes the model turn after a generation that stopped at
    // `stopToken`. The base version returns turnEndToken() whatever the stop.
    virtual std::string turnCloseFor(const std::string& stopToken) const;

    // True when the text the engine injects at the thinking budget must reach
    // the assembler as the separate pieces of its tokens, one per step; false
    // when it goes over as one piece. Base: false.
    virtual bool splitsInjectedText() const;

    // The texts that open and close a tool call in the family's output.
    // Returns false (outputs untouched) when the family has none. Base: false.
    virtual bool toolCallMarkers(std::string& open, std::string& close) const;

    // True when the new messages begin with tool results that continue the
    // model turn, so no turn close may be injected before them. Base: false.
    virtual bool continuesTurnAfterToolResult(const MessageList& messages) const;

    // The texts that open and close a thought, and the text injected to end a
    // thought and start the answer. Returns false (outputs untouched) when the
    // family has no thinking section. Base: false.
    virtual bool thinkingMarkers(std::string& open, std::string& close,
                                 std::string& closeThenAnswer) const;

    // The prompt suffix that places the model inside a thought at the start
    // of its turn. Empty for families without thoughts.
    virtual std::string thinkingPrefix() const = 0;
};

// Makes the renderer for a model's "assembler" key (exact, case-sensitive):
// "qwen3" and "qwen35" give the Qwen3 renderer in its two forms, "gemma4",
// "gpt-oss", "tolv" and "tolv-wistrel" their families, "default" the raw
// renderer. Any other key gives the raw renderer after a level-2 warning.
// Never fails and never returns null. `today` supplies the date that some
// families write into their system header; tests inject a fixed one.
std::unique_ptr<LLMChatPromptRenderer> createChatPromptRenderer(const std::string& key,
                                                                DateSource today = formatLocalDate);
