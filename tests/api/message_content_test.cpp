#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/message_content.h"
#include "api_test_support.h"
#include "gguf.h"

namespace {

using nlohmann::json;

json fileBlock(const std::string& type, const std::string& file) {
    return {{"type", type}, {"source", {{"type", "file"}, {"file", file}}}};
}
json textBlock(const std::string& text) { return {{"type", "text"}, {"text", text}}; }
json message(const std::string& role, const json& content) { return {{"role", role}, {"content", content}}; }

template <typename Call>
FileBlockError refusal(Call&& call) {
    try {
        call();
    } catch (const FileBlockError& e) {
        return e;
    }
    return FileBlockError{0, "", ""};
}

// A projector file that declares an audio encoder.
void writeAudioProjector(const std::string& path) {
    gguf_context* ctx = gguf_init_empty();
    gguf_set_val_str(ctx, "general.architecture", "clip");
    gguf_set_val_bool(ctx, "clip.has_audio_encoder", true);
    ASSERT_TRUE(gguf_write_to_file(ctx, path.c_str(), false));
    gguf_free(ctx);
}

// An instance with a store holding a.png, b.jpg, c.wav, d.mp3 and doc.txt,
// able to take images and audio unless told otherwise.
class MessageContentTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"a.png", "b.jpg", "c.wav", "d.mp3"}) store.put(name, std::string("data-") + name);
        store.put("doc.txt", "hello");
        writeAudioProjector(store.dir.file("p.gguf"));
        load().modelDir = store.dir.path();
        load().modelProperties = {{"files", {{"model", "m.gguf"}, {"mmproj", "p.gguf"}}}};
    }

    ModelLoadSettings& load() { return store.mivrel.config.loadSettings; }

    // The refusal of converting `messages` (status 0 when it passes).
    FileBlockError convertRefusal(json messages) {
        std::vector<MediaInput> media;
        return refusal([&] { convertMessageContent(store.mivrel, "", messages, media); });
    }

    StoreFixture store;
};

TEST(ReservedMarkerTest, FoundAnywhereInTextsLongerThanTenBytes) {
    const std::pair<std::string, bool> cases[] = {
        {"", false},
        {"<__media__", false},  // 10 bytes: never searched
        {"<__media__>", true},
        {std::string(5000, 'x') + "<__media__>", true},
        {"a <__media__> b", true},
        {"<__media_>_>", false},
        {"<__MEDIA__>", false},
    };
    for (const auto& [text, refused] : cases) {
        SCOPED_TRACE(text.substr(0, 40));
        const FileBlockError e = refusal([&] { checkReservedMarker(text); });
        if (refused) {
            EXPECT_EQ(e.status, 400);
            EXPECT_EQ(e.code, "bad_request");
            EXPECT_EQ(e.message, "text must not contain the reserved marker <__media__>");
        } else {
            EXPECT_EQ(e.status, 0);
        }
    }
}

TEST(BlockTypesTest, KnownAndFileSourced) {
    for (const char* type :
         {"text", "image", "document", "audio", "tool_use", "tool_result", "thinking", "redacted_thinking"}) {
        EXPECT_TRUE(isKnownBlockType(type)) << type;
    }
    for (const char* type : {"", "video", "Text", "image_url"}) EXPECT_FALSE(isKnownBlockType(type)) << type;

    EXPECT_TRUE(isFileSourcedBlock(fileBlock("image", "a.png")));
    EXPECT_TRUE(isFileSourcedBlock(fileBlock("document", "x")));
    EXPECT_TRUE(isFileSourcedBlock(fileBlock("audio", "x")));
    EXPECT_FALSE(isFileSourcedBlock(fileBlock("text", "x")));
    EXPECT_FALSE(isFileSourcedBlock(fileBlock("video", "x")));
    EXPECT_FALSE(isFileSourcedBlock(json{{"type", "image"}, {"source", "file"}}));
    EXPECT_FALSE(isFileSourcedBlock(json{{"type", "image"}, {"source", {{"type", "base64"}}}}));
    EXPECT_FALSE(isFileSourcedBlock(json{{"type", "image"}, {"source", {{"type", 1}}}}));
    EXPECT_FALSE(isFileSourcedBlock(json{{"type", "image"}}));
    EXPECT_FALSE(isFileSourcedBlock(json::array()));
}

TEST_F(MessageContentTest, BlockShapeRefusals) {
    const std::string mustReference =
        " blocks must reference an uploaded file: {\"source\": {\"type\": \"file\", \"file\": \"files/<name>\"}}";
    const std::string unsupportedVideo =
        "unsupported content block type: video (supported: text, image, audio, document, tool_use, tool_result, "
        "thinking)";
    const std::pair<json, std::string> cases[] = {
        {json::array({message("user", "see <__media__>")}), "text must not contain the reserved marker <__media__>"},
        {json::array({message("assistant", json::array({textBlock("x<__media__>")}))}),
         "text must not contain the reserved marker <__media__>"},
        {json::array({message("user", json::array({json{{"type", "video"}}}))}), unsupportedVideo},
        {json::array({message("user", json::array({json{{"text", "x"}}}))}), "content block without a type"},
        {json::array({message("user", json::array({json{{"type", 3}}}))}), "content block without a type"},
        {json::array({message("user", json::array({json{{"type", "image"}, {"source", {{"type", "base64"}}}}}))}),
         "image" + mustReference},
        {json::array({message("user", json::array({json{{"type", "image"}}}))}), "image" + mustReference},
        {json::array({message("user", json::array({json{{"type", "document"}, {"source", "files/doc.txt"}}}))}),
         "document" + mustReference},
        {json::array({json{{"role", 5}, {"content", json::array({textBlock("x")})}}}),
         "message \"role\" must be a string"},
    };
    for (const auto& [messages, expected] : cases) {
        SCOPED_TRACE(messages.dump());
        const FileBlockError e = convertRefusal(messages);
        EXPECT_EQ(e.status, 400);
        EXPECT_EQ(e.code, "bad_request");
        EXPECT_EQ(e.message, expected);
    }
}

TEST_F(MessageContentTest, OtherBlocksAndShapesPassUnchanged) {
    json messages = json::array({
        message("assistant", json::array({json{{"type", "thinking"}, {"thinking", "<__media__> is fine here"}},
                                          json{{"type", "redacted_thinking"}, {"data", "x"}},
                                          json{{"type", "tool_use"}, {"id", "t1"}, {"name", "f"}},
                                          json{{"type", "text"}, {"text", 5}}, 7})),
        message("tool", json::array({json{{"type", "tool_result"}, {"content", "ok"}}})),
        json{{"role", "user"}},
        "not an object",
        message("user", "<__media__"),
    });
    const json before = messages;
    std::vector<MediaInput> media;
    convertMessageContent(store.mivrel, "", messages, media);
    EXPECT_EQ(messages, before);
    EXPECT_TRUE(media.empty());
}

TEST_F(MessageContentTest, MediaAndDocumentsAreRewrittenInOrder) {
    json messages = json::array({
        message("system", json::array({fileBlock("document", "files/doc.txt")})),
        message("user", json::array({textBlock("look"), fileBlock("image", "files/a.png")})),
        message("assistant", json::array({fileBlock("document", "doc.txt")})),
        message("user", json::array({fileBlock("image", "b.jpg"), fileBlock("audio", "files/c.wav")})),
    });
    std::vector<MediaInput> media;
    convertMessageContent(store.mivrel, "", messages, media);
    const json doc = textBlock("[첨부 파일: doc.txt]\nhello\n[첨부 끝]");
    const json marker = textBlock("<__media__>");
    EXPECT_EQ(messages, json::array({
                            message("system", json::array({doc})),
                            message("user", json::array({textBlock("look"), marker})),
                            message("assistant", json::array({doc})),
                            message("user", json::array({marker, marker})),
                        }));
    ASSERT_EQ(media.size(), 3u);
    const std::pair<std::string, bool> expected[] = {{"data-a.png", false}, {"data-b.jpg", false}, {"data-c.wav", true}};
    for (size_t i = 0; i < media.size(); ++i) {
        EXPECT_EQ(std::string(media[i].bytes.begin(), media[i].bytes.end()), expected[i].first);
        EXPECT_EQ(media[i].isAudio, expected[i].second);
    }
}

TEST_F(MessageContentTest, CapabilityThenRoleThenCountThenFile) {
    struct Case {
        std::string name;
        json modelProperties;  // null: the fixture's vision and audio model
        json params;
        json messages;
        std::string message;
    };
    const json noProjector = {{"files", {{"model", "m.gguf"}}}};
    const json off = {{"multimodal", false}};
    auto images = [](int count, const std::string& last) {
        json blocks = json::array();
        for (int i = 1; i < count; ++i) blocks.push_back(fileBlock("image", "files/a.png"));
        blocks.push_back(fileBlock("image", last));
        return blocks;
    };
    const Case cases[] = {
        {"image without projector, assistant role", noProjector, json::object(),
         json::array({message("assistant", json::array({fileBlock("image", "files/a.png")}))}),
         "this Mivrel does not accept image input (the model has no vision encoder: files.mmproj)"},
        {"image with multimodal off", nullptr, off,
         json::array({message("user", json::array({fileBlock("image", "files/a.png")}))}),
         "image input is disabled for this Mivrel (multimodal: false)"},
        {"image in assistant message", nullptr, json::object(),
         json::array({message("assistant", json::array({fileBlock("image", "files/a.png")}))}),
         "image blocks are allowed only in user messages"},
        {"image in message without role", nullptr, json::object(),
         json::array({json{{"content", json::array({fileBlock("image", "files/a.png")})}}}),
         "image blocks are allowed only in user messages"},
        {"fifth image across messages, missing file", nullptr, json::object(),
         json::array({message("user", images(2, "files/a.png")), message("user", images(3, "files/missing.png"))}),
         "too many images in one request (max 4)"},
        {"image limit 0", nullptr, json{{"limits", {{"maxImages", 0}}}},
         json::array({message("user", images(1, "files/a.png"))}), "too many images in one request (max 0)"},
        {"fourth image missing", nullptr, json::object(),
         json::array({message("user", images(4, "files/missing.png"))}), "file not found: files/missing.png"},
        {"audio without audio encoder", noProjector, json::object(),
         json::array({message("user", json::array({fileBlock("audio", "files/c.wav")}))}),
         "this Mivrel does not accept audio input (the model has no audio encoder)"},
        {"audio with multimodal off", nullptr, off,
         json::array({message("user", json::array({fileBlock("audio", "files/c.wav")}))}),
         "audio input is disabled for this Mivrel (multimodal: false)"},
        {"audio in system message", nullptr, json::object(),
         json::array({message("system", json::array({fileBlock("audio", "files/c.wav")}))}),
         "audio blocks are allowed only in user messages"},
        {"second audio", nullptr, json::object(),
         json::array({message("user", json::array({fileBlock("audio", "files/c.wav")})),
                      message("user", json::array({fileBlock("audio", "files/d.mp3")}))}),
         "too many audio blocks in one request (max 1)"},
        {"two audios allowed, third refused", nullptr, json{{"limits", {{"maxAudios", 2}}}},
         json::array({message("user", json::array({fileBlock("audio", "files/c.wav"), fileBlock("audio", "d.mp3"),
                                                   fileBlock("audio", "c.wav")}))}),
         "too many audio blocks in one request (max 2)"},
        {"image of the wrong kind", nullptr, json::object(),
         json::array({message("user", json::array({fileBlock("image", "files/c.wav")}))}),
         "image blocks support PNG and JPEG only: files/c.wav (audio/wav)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.modelProperties.is_null()) load().modelProperties = c.modelProperties;
        load().params = c.params;
        const FileBlockError e = convertRefusal(c.messages);
        EXPECT_EQ(e.message, c.message);
        EXPECT_EQ(e.status, c.message.rfind("file not found", 0) == 0 ? 404 : 400);
        SetUp();
    }
}

TEST_F(MessageContentTest, DocumentsNeedNoMultimodalSupportAndHaveNoCount) {
    load().modelProperties = json::object();
    load().params = {{"multimodal", false}};
    json blocks = json::array();
    for (int i = 0; i < 6; ++i) blocks.push_back(fileBlock("document", "files/doc.txt"));
    json messages = json::array({message("assistant", blocks)});
    std::vector<MediaInput> media;
    convertMessageContent(store.mivrel, "", messages, media);
    EXPECT_EQ(messages[0]["content"][5], textBlock("[첨부 파일: doc.txt]\nhello\n[첨부 끝]"));
}

TEST_F(MessageContentTest, EncryptedStoreRefusalsReachTheCaller) {
    StoreFixture locked(true, "m2");
    locked.put("doc.txt", "x", "right");
    json messages = json::array({message("user", json::array({fileBlock("document", "files/doc.txt")}))});
    std::vector<MediaInput> media;
    const FileBlockError none = refusal([&] { convertMessageContent(locked.mivrel, "", messages, media); });
    EXPECT_EQ(none.status, 401);
    EXPECT_EQ(none.code, "storage_key_required");
    const FileBlockError wrong = refusal([&] { convertMessageContent(locked.mivrel, "wrong", messages, media); });
    EXPECT_EQ(wrong.status, 403);
    EXPECT_EQ(wrong.code, "storage_key_mismatch");
    convertMessageContent(locked.mivrel, "right", messages, media);
    EXPECT_EQ(messages[0]["content"][0]["text"], "[첨부 파일: doc.txt]\nx\n[첨부 끝]");
}

TEST_F(MessageContentTest, ResolveTextContent) {
    const std::string doc = "[첨부 파일: doc.txt]\nhello\n[첨부 끝]";
    const json textOnly = json::array({textBlock("A"), textBlock("B")});
    const json withTool = json::array({textBlock("A"), fileBlock("document", "doc.txt"), json{{"type", "tool_use"}}});
    const std::pair<json, json> cases[] = {
        {json::array({textBlock("A"), fileBlock("document", "files/doc.txt")}), "A\n\n" + doc},
        {json::array({fileBlock("document", "files/doc.txt"), textBlock(""), textBlock("B")}),
         doc + "\n\n" + "\n\nB"},  // an empty part still gets its separator
        {json::array({textBlock(""), fileBlock("document", "files/doc.txt")}), doc},
        {fileBlock("document", "files/doc.txt"), doc},
        {textOnly, textOnly},
        {withTool, withTool},
        {json::array(), json::array()},
        {"plain <__media__> text", "plain <__media__> text"},
        {json{{"k", 1}}, json{{"k", 1}}},
    };
    for (const auto& [value, expected] : cases) {
        SCOPED_TRACE(value.dump());
        EXPECT_EQ(resolveTextContent(store.mivrel, "", value), expected);
    }
}

TEST_F(MessageContentTest, ResolveTextContentRefusals) {
    const std::pair<json, std::string> cases[] = {
        {fileBlock("image", "files/a.png"),
         "image blocks are not supported here (use them in /messages with a vision model): files/a.png"},
        {json::array({textBlock("A"), fileBlock("audio", "files/c.wav")}),
         "audio blocks are not supported here (use them in /messages with an audio model): files/c.wav"},
        {json::array({json{{"type", "text"}, {"text", 1}}, fileBlock("document", "files/doc.txt")}),
         "text block \"text\" must be a string"},
    };
    for (const auto& [value, expected] : cases) {
        SCOPED_TRACE(value.dump());
        const FileBlockError e = refusal([&] { resolveTextContent(store.mivrel, "", value); });
        EXPECT_EQ(e.status, 400);
        EXPECT_EQ(e.code, "bad_request");
        EXPECT_EQ(e.message, expected);
    }
}

}  // namespace
