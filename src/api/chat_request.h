// The body of a chat messages request, read and checked before anything
// touches the instance.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "api/chat_turn.h"

// One request's values after validation: the request-level options, and the
// turn the chat composition works from (`turn`; its mivrelId and media are
// not in the body: the handler fills them).
struct MessagesRequest {
    std::string conversationId;
    std::string controlMessageId;  // empty when none
    nlohmann::json options = nlohmann::json::object();
    bool stream = false;
    bool mivrelReset = false;
    bool debugPrompt = false;
    bool applySampling = false;
    ChatTurnRequest turn;
};

// A refused request: always 400 "bad_request" with `message`.
struct MessagesRequestError {
    std::string message;
};

// Parses and checks `body`. Returns true with `out` filled, or false with the
// client's error in `error`. Wrongly typed values the client sent are
// refusals, never exceptions. Never throws.
bool parseMessagesRequest(const std::string& body, MessagesRequest& out, MessagesRequestError& error);

// Checks the sampling keys of `options` against their bounds, in a fixed
// order; absent and null keys are skipped. False with the first failing
// key's message in `error`. "max_tokens" must lie in 1..maxTokensLimit.
bool validateSamplingOptions(const nlohmann::json& options, int64_t maxTokensLimit, std::string& error);
