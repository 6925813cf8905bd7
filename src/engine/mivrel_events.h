// Where the engine reports the events of an instance that it causes itself
// (an unload under the "after_generate" release policy) without knowing the
// event log: start-up installs a sink that forwards to it.
//
// The sink is installed on the server thread during start-up, before any
// other thread uses an instance; afterwards it is only read. Without a sink
// (the engine's own tests) events are dropped. A sink must not throw.
#pragma once

#include <functional>
#include <string>

// Receives one event: (level, category, actor, text, detail), as the event
// log records them.
using MivrelEventSink = std::function<void(const std::string& level, const std::string& category,
                                           const std::string& actor, const std::string& text,
                                           const std::string& detail)>;

// Replaces the sink; an empty function drops events from then on.
void setMivrelEventSink(MivrelEventSink sink);

// Hands one event to the sink, if there is one.
void reportMivrelEvent(const std::string& level, const std::string& category, const std::string& actor,
                       const std::string& text, const std::string& detail);
