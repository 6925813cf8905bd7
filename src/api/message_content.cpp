#include "api/message_content.h"

#include <cstring>

#include "engine/mivrel.h"
#include "engine/model_capabilities.h"

namespace {

FileBlockError badRequest(const std::string& message) { return FileBlockError{400, "bad_request", message}; }

std::string stringMember(const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

nlohmann::json textBlock(const std::string& text) {
    nlohmann::json block = nlohmann::json::object();
    block["type"] = "text";
    block["text"] = text;
    return block;
}

// What the instance accepts, read once per conversion.
struct MediaPolicy {
    bool multimodal = true;
    bool imageOk = false;
    bool audioOk = false;
    int maxImages = 4;
    int maxAudios = 1;
};

MediaPolicy mediaPolicy(const Mivrel& mivrel) {
    const ModelLoadSettings& load = mivrel.config.loadSettings;
    MediaPolicy policy;
    policy.multimodal = multimodalEnabled(load.params);
    policy.imageOk = acceptsImageInput(load.modelProperties, load.params);
    policy.maxImages = modelLimit(load.params, "maxImages", 4);
    policy.audioOk = acceptsAudioInput(load.modelProperties, load.params, load.modelDir);
    policy.maxAudios = modelLimit(load.params, "maxAudios", 1);
    return policy;
}

// The role of a message with array content; refuses a non-string role.
std::string messageRole(const nlohmann::json& message) {
    const auto it = message.find("role");
    if (it == message.end()) return std::string();
    if (!it->is_string()) throw badRequest("message \"role\" must be a string");
    return it->get<std::string>();
}

void convertBlocks(FileRefContext& context, const MediaPolicy& policy, const std::string& role,
                   nlohmann::json& blocks, std::vector<MediaInput>& media, int& images, int& audios) {
    for (nlohmann::json& block : blocks) {
        if (!block.is_object()) continue;
        const auto text = block.find("text");
        const auto typeIt = block.find("type");
        const bool stringType = typeIt != block.end() && typeIt->is_string();
        const std::string type = stringType ? typeIt->get<std::string>() : std::string();
        if (type == "text" && text != block.end() && text->is_string()) {
            checkReservedMarker(text->get_ref<const std::string&>());
            continue;
        }
        if (!isKnownBlockType(type)) {
            if (type.empty()) throw badRequest("content block without a type");
            throw badRequest("unsupported content block type: " + type +
                             " (supported: text, image, audio, document, tool_use, tool_result, thinking)");
        }
        const bool fileKind = type == "image" || type == "document" || type == "audio";
        if (!fileKind) continue;
        if (!isFileSourcedBlock(block)) {
            throw badRequest(type +
                             " blocks must reference an uploaded file: {\"source\": {\"type\": \"file\", "
                             "\"file\": \"files/<name>\"}}");
        }
        if (type == "document") {
            block = textBlock(documentBlockText(context, block));
            continue;
        }
        const bool audio = type == "audio";
        if (audio ? !policy.audioOk : !policy.imageOk) {
            if (!policy.multimodal) {
                throw badRequest(audio ? "audio input is disabled for this Mivrel (multimodal: false)"
                                       : "image input is disabled for this Mivrel (multimodal: false)");
            }
            throw badRequest(audio ? "this Mivrel does not accept audio input (the model has no audio encoder)"
                                   : "this Mivrel does not accept image input (the model has no vision encoder: "
                                     "files.mmproj)");
        }
        if (role != "user") {
            throw badRequest(audio ? "audio blocks are allowed only in user messages"
                                   : "image blocks are allowed only in user messages");
        }
        if (audio && audios >= policy.maxAudios) {
            throw badRequest("too many audio blocks in one request (max " + std::to_string(policy.maxAudios) + ")");
        }
        if (!audio && images >= policy.maxImages) {
            throw badRequest("too many images in one request (max " + std::to_string(policy.maxImages) + ")");
        }
        MediaInput input;
        input.bytes = audio ? loadAudioReference(context, block) : loadImageReference(context, block);
        input.isAudio = audio;
        media.push_back(std::move(input));
        ++(audio ? audios : images);
        block = textBlock(kMediaMarker);
    }
}

}  // namespace

void checkReservedMarker(const std::string& text) {
    const size_t markerSize = std::strlen(kMediaMarker);
    if (text.size() < markerSize) return;
    if (text.find(kMediaMarker) != std::string::npos) {
        throw badRequest(std::string("text must not contain the reserved marker ") + kMediaMarker);
    }
}

bool isKnownBlockType(const std::string& type) {
    static const char* const kKnown[] = {"text",     "image",       "document", "audio",
                                         "tool_use", "tool_result", "thinking", "redacted_thinking"};
    for (const char* known : kKnown) {
        if (type == known) return true;
    }
    return false;
}

bool isFileSourcedBlock(const nlohmann::json& value) {
    if (!value.is_object()) return false;
    const std::string type = stringMember(value, "type");
    if (type != "document" && type != "image" && type != "audio") return false;
    const auto source = value.find("source");
    return source != value.end() && source->is_object() && stringMember(*source, "type") == "file";
}

void convertMessageContent(Mivrel& mivrel, const std::string& bearerToken, nlohmann::json& messages,
                           std::vector<MediaInput>& media) {
    FileRefContext context(mivrel, bearerToken);
    if (!messages.is_array()) return;
    const MediaPolicy policy = mediaPolicy(mivrel);
    int images = 0;
    int audios = 0;
    for (nlohmann::json& message : messages) {
        if (!message.is_object()) continue;
        const auto content = message.find("content");
        if (content == message.end()) continue;
        if (content->is_string()) {
            checkReservedMarker(content->get_ref<const std::string&>());
        } else if (content->is_array()) {
            convertBlocks(context, policy, messageRole(message), *content, media, images, audios);
        }
    }
}

nlohmann::json resolveTextContent(Mivrel& mivrel, const std::string& bearerToken, const nlohmann::json& value) {
    FileRefContext context(mivrel, bearerToken);
    if (isFileSourcedBlock(value)) return documentBlockText(context, value);
    if (!value.is_array() || value.empty()) return value;
    bool anyFile = false;
    bool allText = true;
    for (const nlohmann::json& element : value) {
        if (isFileSourcedBlock(element)) {
            anyFile = true;
        } else if (!element.is_object() || stringMember(element, "type") != "text" || !element.contains("text")) {
            allText = false;
        }
    }
    if (!anyFile || !allText) return value;
    std::string joined;
    for (const nlohmann::json& element : value) {
        std::string part;
        if (isFileSourcedBlock(element)) {
            part = documentBlockText(context, element);
        } else {
            const nlohmann::json& text = element.at("text");
            if (!text.is_string()) throw badRequest("text block \"text\" must be a string");
            part = text.get<std::string>();
        }
        if (!joined.empty()) joined += "\n\n";
        joined += part;
    }
    return joined;
}
