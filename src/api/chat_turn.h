// The middle and end of a chat request: the prompt text that continues the
// conversation held in the engine's context (closing an open thought, tool
// call or turn first), the generation start (new text, text with media, or
// continuation of an open answer), the thinking budget and the primed
// message assembler; and, after the reply, what the next request needs to
// know (resumable answer, tool calls, counters, speed).
//
// Everything here runs on the request's connection thread (the decodes on the
// instance's engine thread, while the connection thread waits) while the request
// holds its claim on the instance. REQUIRES external synchronization.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "api/chat_reply.h"
#include "api/chat_usage.h"
#include "api/event_stream.h"
#include "engine/engine_records.h"
#include "prompt/chat_prompt_renderer.h"
#include "prompt/message_assembler.h"

class Mivrel;

// What the request brings to the composition.
struct ChatTurnRequest {
    std::string mivrelId;
    std::string action;  // "", "continue" or "close_thinking"
    bool hasMessages = false;
    int think = 1;
    bool hasBudget = false;
    int64_t budget = 0;
    nlohmann::json tools = nlohmann::json::array();
    nlohmann::json messages = nlohmann::json::array();
    std::vector<MediaInput> media;
    bool showGenStatus = false;
};

// The prepared generation of one request.
struct ChatTurn {
    std::unique_ptr<LLMChatPromptRenderer> renderer;
    std::unique_ptr<ModelMessageAssembler> assembler;
    std::string promptText;  // what is decoded ("input_raw_prompt")
    std::string primeText;   // what the assembler is told it continues
    std::string toolsDump;
    bool sendTools = false;
    bool isContinue = false;
    bool closeThinkingOnly = false;
    bool continuesTurn = false;
    std::string lastPhase;
    int64_t inputTokens = 0;
    int64_t genStartMs = 0;
    // A stop request ended the prompt's tokenizing: nothing was decoded and
    // the reply is that of a generation stopped before its first token.
    bool stoppedBeforeStart = false;
    UsageContext usage;
    ToolCallRawSource rawSource;
};

// How a request's tools reach its prompt, given what the instance's context
// already holds.
struct ChatToolPlan {
    RenderOptions options;   // think, tools, hasTools, defaultSystem, priorToolCalls
    std::string toolsDump;   // compact dump of the request's tools; "" without tools
    bool sendTools = false;  // this prompt declares the request's tools
    bool forgetDeclared = false;  // an empty context without tools: nothing is declared any more
};

// The render options of `request` for a context that is empty or not, after
// `declaredTools` (the dump of the tools last declared to the context) and
// the previous response's tool calls. Tools already declared to a live
// context are not written again, but they still apply: hasTools stays true
// while they do, so families that address the reply (Tolv, GPT-OSS) leave the
// recipient open for a tool call. Pure.
ChatToolPlan chatToolPlan(const ChatTurnRequest& request, bool contextEmpty, const std::string& declaredTools,
                          const nlohmann::json& priorToolCalls);

// Builds the prompt and prime texts. The renderer's JSON type errors on
// malformed messages pass to the caller. REQUIRES: the claim is held and an
// engine is installed.
void composeChatTurn(Mivrel& mivrel, const ChatTurnRequest& request, ChatTurn& turn);

// Marks the claim as this generation's, starts the engine, hands over the
// thinking budget and primes the assembler; sets up `state`. Returns false
// after answering a refusal or failure through `reply` (400 "bad_request" for
// refused input, a prompt whose bytes cannot fit the context included, which
// is refused before it is tokenized; 500 "internal_error" for other engine
// failures). Returns true with turn.stoppedBeforeStart set when a stop
// request ended the tokenizing: the caller answers as for a stopped reply.
bool startChatTurn(Mivrel& mivrel, ChatTurnRequest& request, ChatTurn& turn, ReplyState& state,
                   ReplyContext& reply);

// The end-of-generation bookkeeping after a reply was built: counters, last
// response id, speed, tool-call record, unfinished tool call and the
// resumable answer. Call before the claim is released.
void finishChatTurn(Mivrel& mivrel, const std::string& mivrelId, const std::string& messageId, ChatTurn& turn,
                    const ReplyState& state);
