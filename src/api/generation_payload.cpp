#include "api/generation_payload.h"

#include "storage/file_store.h"

namespace {

int64_t intOf(const nlohmann::json& data, const char* key, int64_t fallback) {
    const auto it = data.find(key);
    if (it == data.end() || !it->is_number_integer()) return fallback;
    return it->get<int64_t>();
}

double numberOf(const nlohmann::json& data, const char* key, double fallback) {
    const auto it = data.find(key);
    return it != data.end() && it->is_number() ? it->get<double>() : fallback;
}

bool boolOf(const nlohmann::json& data, const char* key, bool fallback) {
    const auto it = data.find(key);
    return it != data.end() && it->is_boolean() ? it->get<bool>() : fallback;
}

nlohmann::ordered_json fileList(const GenerationEvent& event) {
    nlohmann::ordered_json files = nlohmann::ordered_json::array();
    for (const std::string& name : event.files) files.push_back(fileReference(name));
    return files;
}

}  // namespace

nlohmann::ordered_json makeGenerationPayload(const std::string& id, const GenerationEvent& event) {
    nlohmann::ordered_json payload = nlohmann::ordered_json::object();
    payload["mivrelId"] = id;
    const nlohmann::json data = event.data.is_object() ? event.data : nlohmann::json::object();
    if (event.type == "progress") {
        if (data.contains("audio_sec")) {
            payload["frames"] = intOf(data, "frames", 0);
            payload["audio_sec"] = numberOf(data, "audio_sec", 0.0);
        } else {
            payload["step"] = event.step;
            payload["steps"] = event.steps;
        }
        payload["elapsed_ms"] = event.elapsedMs;
    } else if (event.type == "result") {
        payload["files"] = fileList(event);
        if (data.contains("sample_rate")) {
            for (const char* key : {"voice", "speaker_ref"}) {
                if (data.contains(key)) payload[key] = data[key];
            }
            payload["seed"] = intOf(data, "seed", -1);
            payload["sample_rate"] = intOf(data, "sample_rate", 0);
            payload["channels"] = intOf(data, "channels", 1);
            payload["duration_sec"] = numberOf(data, "duration_sec", 0.0);
            payload["frames"] = intOf(data, "frames", 0);
            payload["truncated"] = boolOf(data, "truncated", false);
        } else {
            payload["seed"] = intOf(data, "seed", -1);
            payload["width"] = intOf(data, "width", 0);
            payload["height"] = intOf(data, "height", 0);
            payload["steps"] = intOf(data, "steps", 0);
            if (data.contains("frames")) {
                payload["frames"] = intOf(data, "frames", 0);
                payload["fps"] = intOf(data, "fps", 0);
                payload["has_audio"] = boolOf(data, "has_audio", false);
            }
        }
        payload["elapsed_ms"] = event.elapsedMs;
    } else if (event.type == "error") {
        const auto message = data.find("message");
        payload["message"] =
            message != data.end() && message->is_string() ? message->get<std::string>() : "generation failed";
    }
    return payload;
}
