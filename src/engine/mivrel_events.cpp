#include "engine/mivrel_events.h"

#include <utility>

namespace {

MivrelEventSink& eventSink() {
    static MivrelEventSink sink;
    return sink;
}

}  // namespace

void setMivrelEventSink(MivrelEventSink sink) { eventSink() = std::move(sink); }

void reportMivrelEvent(const std::string& level, const std::string& category, const std::string& actor,
                       const std::string& text, const std::string& detail) {
    const MivrelEventSink& sink = eventSink();
    if (sink) sink(level, category, actor, text, detail);
}
