// The request body of a speech job as a GenerationInput. Speech requests
// come flat ("text", "voice", "speaker_ref", ...) or in the general "parts"
// form. A flat key must be one the speech engine knows, so that a misspelt
// option is refused instead of passing silently; the general form is left to
// the engine's input schema, which refuses undeclared options.
#pragma once

#include <nlohmann/json.hpp>

#include "engine/generation_input.h"

// The seven option names a speech request may carry, whole and case-sensitive.
bool isSpeechOption(const std::string& name);

// Turns a parsed request body into the speech job's input:
// - the flat form: "text" (a text part, role "prompt"), "speaker_ref" (an
//   audio file part, role "reference", the reference as given),
//   "speaker_ref_text" (a text part, role "reference_text"), the seven
//   options copied unchanged; "stream" and null values are skipped. Keys are
//   visited in byte order, so the first failing key decides the message.
//   "text" must end up non-empty, and "voice" cannot come with "speaker_ref".
// - a body holding "parts": the general form (parseGenerationInput with
//   "stream" ignored), returned unchanged.
// Throws GenerationInputError with the message of the first problem, e.g.
// "unknown field: \"pitch\"". Touches no instance and no store.
GenerationInput normalizeSpeechRequest(const nlohmann::json& body);
