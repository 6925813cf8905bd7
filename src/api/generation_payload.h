// The JSON payloads of generation jobs: one per event of a streamed job, and
// the "result" payload that also opens a non-streamed job's reply.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "engine/engine_records.h"

// The insertion-ordered payload of `event` for instance `id`: "mivrelId",
// then by event type
//   "progress": "step", "steps", "elapsed_ms" (speech: "frames",
//               "audio_sec", "elapsed_ms");
//   "result":   "files" ("files/" + name each), "seed", "width", "height",
//               "steps", for videos "frames", "fps", "has_audio", then
//               "elapsed_ms" (speech: its own keys);
//   "error":    "message" ("generation failed" when the event has none);
//   others:     nothing more.
// Missing data members take their defaults (-1 for "seed", 0, false). Never
// throws for data of the wrong kind: such a member counts as missing.
nlohmann::ordered_json makeGenerationPayload(const std::string& id, const GenerationEvent& event);
