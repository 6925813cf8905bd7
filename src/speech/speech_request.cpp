#include "speech/speech_request.h"

#include <string>

#include "engine/mivrel_exception.h"

namespace {

constexpr const char* kSpeechOptions[] = {"voice", "lang", "speed", "loudness", "temperature", "seed", "max_seconds"};

[[noreturn]] void fail(const std::string& message) { throw GenerationInputError(message); }

[[noreturn]] void unknownField(const std::string& key) { fail("unknown field: \"" + key + "\""); }

// The prompt text as the parts hold it, every "prompt" text part joined.
std::string joinedPromptText(const GenerationInput& input) {
    std::string text;
    for (const InputPart& part : input.parts) {
        if (part.type == "text" && part.role == "prompt") text += part.text;
    }
    return text;
}

}  // namespace

bool isSpeechOption(const std::string& name) {
    for (const char* option : kSpeechOptions) {
        if (name == option) return true;
    }
    return false;
}

GenerationInput normalizeSpeechRequest(const nlohmann::json& body) {
    if (!body.is_object()) fail("request body must be a JSON object");
    // The general form passes as it is: the engine's input schema refuses
    // options it does not declare once the reply has begun, so a streaming
    // client learns of it through the stream like any other schema failure.
    if (body.contains("parts")) return parseGenerationInput(body, {"stream"});

    // nlohmann::json keeps object keys sorted, so this walks them in byte order.
    GenerationInput input;
    for (auto it = body.begin(); it != body.end(); ++it) {
        const std::string& key = it.key();
        const nlohmann::json& value = it.value();
        if (key == "stream") continue;
        if (value.is_null()) continue;
        if (key == "text") {
            if (!value.is_string()) fail("\"text\" must be a string");
            input.addTextPart("prompt", value.get<std::string>());
        } else if (key == "speaker_ref") {
            if (!value.is_string()) fail("\"speaker_ref\" must be a file reference string (\"files/<name>\")");
            input.addFilePart("audio", "reference", value.get<std::string>());
        } else if (key == "speaker_ref_text") {
            if (!value.is_string()) fail("\"speaker_ref_text\" must be a string");
            input.addTextPart("reference_text", value.get<std::string>());
        } else if (isSpeechOption(key)) {
            input.setOption(key, value);
        } else {
            unknownField(key);
        }
    }
    if (joinedPromptText(input).empty()) fail("\"text\" is required");
    if (!input.filesOfType("audio", "reference").empty() && input.options.contains("voice")) {
        fail("\"voice\" and \"speaker_ref\" cannot be used together");
    }
    return input;
}
