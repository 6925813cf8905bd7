// Loading an instance on the spot for an inference request, and the payloads
// of the events that report it ("mivrel.init_start", "mivrel.init_done").
// The same payloads report the chat endpoint's context reset (scope
// "context").
//
// The load happens under the request's claim (mivrel_claim.h): the busy
// test, the load and the claim are one step, so two first requests never
// load one instance twice; the later one is refused by its claim.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "api/event_stream.h"
#include "engine/mivrel_claim.h"

// The "mivrel.init_start" payload (insertion-ordered). Scope "model" reports
// the configured load settings (IMAGE and VIDEO their merged load defaults);
// any other scope only "mivrelId", "scope", "n_ctx", "started_at". Only reads
// the configuration; never touches the engine. Never throws.
nlohmann::ordered_json makeInitStartPayload(const Mivrel& mivrel, const std::string& id, const std::string& scope,
                                            const std::string& startedAt);

// The "mivrel.init_done" payload (insertion-ordered), with "elapsed_ms" =
// now - t0. For families other than IMAGE and VIDEO the engine values appear
// only while an engine is installed. REQUIRES: the caller holds a claim on
// the instance (the engine is asked for its statistics). Never throws for a
// sound engine.
nlohmann::ordered_json makeInitDonePayload(Mivrel& mivrel, const std::string& id, const std::string& scope,
                                           int64_t t0);

// defaults[key] when `defaults` is an object and that value is a string or an
// object; otherwise "auto".
nlohmann::ordered_json placementOrAuto(const nlohmann::json& defaults, const std::string& key);

// How one endpoint runs the load step.
struct InitLoadStep {
    std::string mivrelId;
    // Where "mivrel.init_start" and "mivrel.init_done" go; null for a silent
    // load (no events, no payloads).
    const SseTarget* events = nullptr;
    // Runs right after the engine is installed (the chat endpoint records the
    // conversation, logs and writes the event log). An exception it throws is
    // logged and does not undo the load.
    std::function<void(Mivrel&)> onLoaded;
};

struct InitLoadResult {
    bool loadedNow = false;  // this call installed the engine
    bool failed = false;     // the load threw; `error` holds its text
    std::string error;
    int64_t t0 = 0;                     // when the load began (epoch ms)
    nlohmann::ordered_json initDone;    // the init_done payload; null unless loaded now
};

// Loads the claimed instance when it has no engine: t0, init_start, the
// engine made and installed (Mivrel::ensureEngine), `onLoaded`, init_done.
// A standard exception of the load is returned as `failed`
// with nothing installed (the caller logs and answers it); a failed write of
// an event (IOException) passes to the caller. Does nothing when an engine is
// installed already. REQUIRES: `claim` is held.
InitLoadResult loadWithInitEvents(MivrelClaim& claim, const InitLoadStep& step);
