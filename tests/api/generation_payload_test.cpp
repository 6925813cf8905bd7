// The payloads of generation events: key order per event kind, defaults for
// missing data, and file references.
#include <gtest/gtest.h>

#include "api/generation_payload.h"

namespace {

GenerationEvent event(const char* type, nlohmann::json data = nlohmann::json::object(),
                      std::vector<std::string> files = {}) {
    GenerationEvent e;
    e.type = type;
    e.step = 2;
    e.steps = 8;
    e.elapsedMs = 1234;
    e.data = std::move(data);
    e.files = std::move(files);
    return e;
}

TEST(GenerationPayload, EachEventKind) {
    struct Case {
        GenerationEvent event;
        const char* json;
    } cases[] = {
        {event("queued"), R"({"mivrelId":"m1"})"},
        {event("cancelled"), R"({"mivrelId":"m1"})"},
        {event("progress"), R"({"mivrelId":"m1","step":2,"steps":8,"elapsed_ms":1234})"},
        {event("progress", {{"audio_sec", 1.5}, {"frames", 3}}),
         R"({"mivrelId":"m1","frames":3,"audio_sec":1.5,"elapsed_ms":1234})"},
        {event("result", {{"seed", 7}, {"width", 64}, {"height", 32}, {"steps", 4}}, {"gen-a.png", "gen-b.png"}),
         R"({"mivrelId":"m1","files":["files/gen-a.png","files/gen-b.png"],"seed":7,"width":64,"height":32,"steps":4,"elapsed_ms":1234})"},
        {event("result",
               {{"seed", 7}, {"width", 64}, {"height", 32}, {"steps", 4}, {"frames", 9}, {"fps", 8}, {"has_audio", true}},
               {"gen-v.webm"}),
         R"({"mivrelId":"m1","files":["files/gen-v.webm"],"seed":7,"width":64,"height":32,"steps":4,"frames":9,"fps":8,"has_audio":true,"elapsed_ms":1234})"},
        {event("result", {{"width", "wide"}}),
         R"({"mivrelId":"m1","files":[],"seed":-1,"width":0,"height":0,"steps":0,"elapsed_ms":1234})"},
        {event("result", {{"sample_rate", 24000}, {"voice", "amy"}, {"duration_sec", 2.5}}, {"gen-s.wav"}),
         R"({"mivrelId":"m1","files":["files/gen-s.wav"],"voice":"amy","seed":-1,"sample_rate":24000,"channels":1,"duration_sec":2.5,"frames":0,"truncated":false,"elapsed_ms":1234})"},
        {event("error", {{"message", "it broke"}}), R"({"mivrelId":"m1","message":"it broke"})"},
        {event("error"), R"({"mivrelId":"m1","message":"generation failed"})"},
        {event("error", {{"message", 5}}), R"({"mivrelId":"m1","message":"generation failed"})"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(makeGenerationPayload("m1", c.event).dump(), c.json) << c.event.type;
    }
}

}  // namespace
