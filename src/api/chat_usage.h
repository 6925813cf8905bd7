// The "usage" object of a chat answer: what the engine reports about the
// generation that just ended (timings, context use, why it stopped, whether
// it can be resumed, thinking accounting, sampling values), plus, on request,
// the diagnostics of how the prompt was put together.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

class Mivrel;

// How one request's prompt was composed; read by makeUsageJson.
struct UsageContext {
    bool showGenStatus = false;
    std::string assembler;
    bool turnCloseInjected = false;
    bool thinkCloseInjected = false;
    bool toolCloseInjected = false;
    bool partialToolCall = false;
    std::string controlAction;  // empty when none
};

// Adds the engine's keys to `usage` (which already holds "input_tokens",
// "output_tokens" and "elapsed_ms"). Adds nothing without an instance or
// without an engine. REQUIRES: the caller holds the instance's claim.
void makeUsageJson(nlohmann::json& usage, Mivrel* mivrel, const UsageContext* context);

// Whether a generation that stopped for `stopReason` ended before its answer
// was complete ("n_predict", "hardcap" or "abort").
bool stoppedEarly(const std::string& stopReason);
