// A chat request body from parse to prompt: the request parser, the message
// content conversion against an instance whose store holds an image, an
// audio file and documents, the sampling checks, and every family's prompt
// renderer over the converted messages. The input is the request body.
//
// Refusals are the expected outcome for most inputs: the parser's error, a
// FileBlockError of the conversion, a JSON type error of a renderer (each is
// a 400 on the server). Any other exception is a finding.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "api/chat_request.h"
#include "api/message_content.h"
#include "base/logger.h"
#include "engine/mivrel.h"
#include "fuzz_support.h"
#include "gguf.h"
#include "prompt/chat_prompt_renderer.h"

namespace {

// A projector file that declares image and audio encoders, so image and
// audio blocks pass the capability check and reach the store.
void writeProjector(const std::string& path) {
    gguf_context* ctx = gguf_init_empty();
    gguf_set_val_str(ctx, "general.architecture", "clip");
    gguf_set_val_bool(ctx, "clip.has_vision_encoder", true);
    gguf_set_val_bool(ctx, "clip.has_audio_encoder", true);
    if (!gguf_write_to_file(ctx, path.c_str(), false)) std::abort();
    gguf_free(ctx);
}

Mivrel& instance() {
    static Mivrel* mivrel = [] {
        setLogEnabled(false);
        auto* m = new Mivrel();
        m->config.id = "m1";
        m->config.type = "local";
        const std::string dir = fuzz::scratchDir();
        m->fileStore.configure(dir + "/m1/storage.kvx", false);
        StorageKey key = m->fileStore.open("", true);
        StorageFile& store = m->fileStore.containerForTesting();
        store.write("a.png", std::string("\x89PNG\r\n\x1a\n", 8), "", 0, key);
        store.write("c.wav", std::string("RIFF....WAVE"), "", 0, key);
        store.write("doc.txt", std::string("hello document"), "", 0, key);
        store.write("notes.md", std::string("# notes\n<__media__>"), "", 0, key);
        writeProjector(dir + "/p.gguf");
        m->config.loadSettings.modelDir = dir;
        m->config.loadSettings.modelProperties = {{"files", {{"model", "m.gguf"}, {"mmproj", "p.gguf"}}}};
        return m;
    }();
    return *mivrel;
}

const char* const kFamilies[] = {"qwen3", "qwen35", "gemma4", "gpt-oss", "tolv", "tolv-wistrel", "default"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Mivrel& mivrel = instance();
    const std::string body(reinterpret_cast<const char*>(data), size);
    MessagesRequest request;
    MessagesRequestError error;
    if (!parseMessagesRequest(body, request, error)) {
        if (error.message.empty()) std::abort();
        return 0;
    }
    std::string samplingError;
    (void)validateSamplingOptions(request.options, 8192, samplingError);

    std::vector<MediaInput> media;
    try {
        convertMessageContent(mivrel, "", request.turn.messages, media);
    } catch (const FileBlockError& e) {
        if (e.status < 400 || e.status > 499 || e.code.empty()) std::abort();
        return 0;
    }
    for (const auto& message : request.turn.messages) {
        if (!message.is_object() || !message.contains("content")) continue;
        try {
            (void)resolveTextContent(mivrel, "", message["content"]);
        } catch (const FileBlockError&) {
        }
    }

    RenderOptions options;
    options.think = request.turn.think;
    options.tools = request.turn.tools;
    options.hasTools = request.turn.tools.is_array() && !request.turn.tools.empty();
    for (const char* family : kFamilies) {
        const auto renderer = createChatPromptRenderer(family, [] { return std::string("2026-01-01"); });
        try {
            (void)renderer->render(request.turn.messages.get_ref<const MessageList&>(), options);
        } catch (const nlohmann::json::exception&) {
        }
    }
    return 0;
}
