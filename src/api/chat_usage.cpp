#include "api/chat_usage.h"

#include "engine/mivrel.h"

bool stoppedEarly(const std::string& stopReason) {
    return stopReason == "n_predict" || stopReason == "hardcap" || stopReason == "abort";
}

void makeUsageJson(nlohmann::json& usage, Mivrel* mivrel, const UsageContext* context) {
    if (!mivrel || !mivrel->engine) return;
    MivrelEngine& engine = *mivrel->engine;
    const GenerationStats stats = engine.getGenerationStats();
    const int nPast = engine.nPast();
    const int nCtx = engine.nCtx();

    usage["prefill_ms"] = stats.prefillMs;
    usage["ctx_used"] = nPast;
    usage["ctx_size"] = nCtx;
    usage["stop_reason"] = stats.stopReason;
    const bool early = stoppedEarly(stats.stopReason);
    usage["phase"] = !stats.thinkingTracked ? "unknown" : (stats.inThinking ? "thinking" : "answering");
    const bool turnOpen = early ? engine.isTurnOpen() : false;
    usage["resumable"] = early && turnOpen;
    usage["thinking_tokens"] = stats.thinkingTokens;
    if (context && context->partialToolCall) usage["phase"] = "tool_call";

    const nlohmann::json sampling = engine.getSamplingOptions();
    if (!sampling.is_null()) usage["sampling"] = sampling;

    if (context && context->showGenStatus) {
        nlohmann::json injected = nlohmann::json::array();
        if (context->toolCloseInjected) injected.push_back("tool_close");
        if (context->thinkCloseInjected) injected.push_back("think_close");
        if (context->turnCloseInjected) injected.push_back("turn_close");
        if (stats.thinkClosedBy == "budget") injected.push_back("think_close");
        usage["think_closed_by"] = stats.thinkClosedBy;
        usage["think_budget_applied"] = stats.thinkBudget;
        usage["max_tokens_applied"] =
            sampling.is_object() && sampling.contains("max_tokens") ? sampling["max_tokens"] : nlohmann::json();
        usage["turn_open"] = engine.isTurnOpen();
        usage["turn_start_pos"] = stats.turnStartPos;
        usage["n_past"] = nPast;
        usage["injected"] = std::move(injected);
        usage["assembler"] = context->assembler;
        usage["control_action"] =
            context->controlAction.empty() ? nlohmann::json() : nlohmann::json(context->controlAction);
        usage["tool_grace_used"] = stats.toolGraceUsed;
    }
}
