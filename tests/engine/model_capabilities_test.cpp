#include <gtest/gtest.h>

#include <sys/stat.h>
#include <utime.h>

#include "engine/model_capabilities.h"
#include "engine_test_util.h"
#include "support/temp_dir.h"

namespace {

using nlohmann::json;

json withProjector(const std::string& name) { return {{"files", {{"mmproj", name}}}}; }

// A projector file with or without the audio encoder flag.
void writeProjector(const std::string& path, bool audio) {
    GgufWriter w;
    w.header(3, 0, 2).kvString("general.architecture", "clip").kvBool("clip.has_audio_encoder", audio);
    w.writeTo(path);
}

TEST(ModelCapabilitiesTest, SwitchesFilesAndLimits) {
    EXPECT_TRUE(multimodalEnabled(json::object()));
    EXPECT_TRUE(multimodalEnabled({{"multimodal", "false"}}));
    EXPECT_FALSE(multimodalEnabled({{"multimodal", false}}));
    EXPECT_TRUE(multimodalEnabled(json::array()));

    EXPECT_TRUE(modelHasFile(withProjector("p.gguf"), "mmproj"));
    EXPECT_FALSE(modelHasFile({{"files", {{"mmproj", 1}}}}, "mmproj"));
    EXPECT_FALSE(modelHasFile({{"files", "mmproj"}}, "mmproj"));

    EXPECT_EQ(modelLimit({{"limits", {{"maxImages", 2}}}}, "maxImages", 4), 2);
    EXPECT_EQ(modelLimit({{"limits", {{"maxImages", 2.5}}}}, "maxImages", 4), 4);
    EXPECT_EQ(modelLimit({{"limits", {{"maxImages", "2"}}}}, "maxImages", 4), 4);
    EXPECT_EQ(modelLimit({{"limits", 3}}, "maxImages", 4), 4);

    EXPECT_TRUE(acceptsImageInput(withProjector("../p.gguf"), json::object()));  // the role alone is enough
    EXPECT_FALSE(acceptsImageInput(withProjector("p.gguf"), {{"multimodal", false}}));

    EXPECT_TRUE(supportsRefImages({{"files", {{"clip_vision", "c.gguf"}}}}, json::object()));
    EXPECT_TRUE(supportsRefImages({{"files", {{"llm_vision", "c.gguf"}}}}, json::object()));
    EXPECT_TRUE(supportsRefImages({{"supportsRefImages", true}}, json::object()));
    EXPECT_FALSE(supportsRefImages({{"supportsRefImages", true}}, {{"multimodal", false}}));
    EXPECT_FALSE(supportsRefImages(json::object(), json::object()));
    EXPECT_THROW(supportsRefImages({{"supportsRefImages", "yes"}}, json::object()), json::type_error);
}

TEST(ModelCapabilitiesTest, ProjectorAudioFlagIsReadOnlyFromPlainNamesInTheFolder) {
    TempDir dir;
    writeProjector(dir.file("audio.gguf"), true);
    writeProjector(dir.file("vision.gguf"), false);
    EXPECT_TRUE(projectorHasAudioEncoder(withProjector("audio.gguf"), dir.path()));
    EXPECT_FALSE(projectorHasAudioEncoder(withProjector("vision.gguf"), dir.path()));
    EXPECT_FALSE(projectorHasAudioEncoder(withProjector("missing.gguf"), dir.path()));
    EXPECT_FALSE(projectorHasAudioEncoder(withProjector("audio.gguf"), ""));
    for (const char* name : {"", "../audio.gguf", "sub/audio.gguf", "sub\\audio.gguf", "a..gguf"}) {
        EXPECT_FALSE(projectorHasAudioEncoder(withProjector(name), dir.path())) << name;
    }
    EXPECT_TRUE(acceptsAudioInput(withProjector("audio.gguf"), json::object(), dir.path()));
    EXPECT_FALSE(acceptsAudioInput(withProjector("audio.gguf"), {{"multimodal", false}}, dir.path()));
}

TEST(ModelCapabilitiesTest, ProjectorFlagIsCachedUntilTheFileChanges) {
    TempDir dir;
    const std::string path = dir.file("p.gguf");
    writeProjector(path, false);
    struct utimbuf old {1000000000, 1000000000};
    ::utime(path.c_str(), &old);
    EXPECT_FALSE(projectorHasAudioEncoder(withProjector("p.gguf"), dir.path()));

    // Same time stamp: the cached answer stands even though the bytes differ.
    writeProjector(path, true);
    ::utime(path.c_str(), &old);
    EXPECT_FALSE(projectorHasAudioEncoder(withProjector("p.gguf"), dir.path()));

    // A newer file is read again.
    struct utimbuf newer {1000000100, 1000000100};
    ::utime(path.c_str(), &newer);
    EXPECT_TRUE(projectorHasAudioEncoder(withProjector("p.gguf"), dir.path()));

    // A broken file counts as no audio encoder.
    writeTextFile(path, "not gguf");
    struct utimbuf newest {1000000200, 1000000200};
    ::utime(path.c_str(), &newest);
    EXPECT_FALSE(projectorHasAudioEncoder(withProjector("p.gguf"), dir.path()));
}

TEST(ModelIoSchemaTest, DocumentsByFamily) {
    TempDir dir;
    writeProjector(dir.file("audio.gguf"), true);
    const json vision = withProjector("vision.gguf");  // not on disk: images only
    const json audio = withProjector("audio.gguf");
    const json limits = {{"limits", {{"maxImages", 2}, {"maxAudios", 3}, {"maxAudioSeconds", 10}, {"maxRefImages", 5}}}};
    struct Case {
        const char* family;
        json model;
        json params;
        const char* expected;
    };
    const Case cases[] = {
        {"DECISION", audio, json::object(), R"({"api":"choice","inputs":[],"outputs":["choice"]})"},
        {"TEXT", audio, json::object(), R"({"inputs":[]})"},
        {"LLM", json::object(), json::object(), R"({"api":"messages","inputs":[],"outputs":["text"]})"},
        {"", vision, json::object(),
         R"({"api":"messages","inputs":[{"max":4,"mime":["image/png","image/jpeg"],"type":"image"}],"outputs":["text"]})"},
        {"LLM", audio, limits,
         R"({"api":"messages","inputs":[{"max":2,"mime":["image/png","image/jpeg"],"type":"image"},)"
         R"({"max":3,"maxSeconds":10,"mime":["audio/wav","audio/mpeg","audio/flac"],"type":"audio"}],"outputs":["text"]})"},
        {"LLM", audio, {{"multimodal", false}}, R"({"api":"messages","inputs":[],"outputs":["text"]})"},
        {"AUDIO", audio, {{"multimodal", false}},
         R"({"api":"speechGenerate","inputs":[{"max":1,"mime":["audio/wav","audio/mpeg","audio/flac"],)"
         R"("role":"reference","type":"audio"}],"outputs":["audio"]})"},
        {"AUDIO", vision, json::object(), R"({"api":"speechGenerate","inputs":[],"outputs":["audio"]})"},
        {"IMAGE", {{"supportsRefImages", true}}, limits,
         R"({"api":"imageGenerate","inputs":[{"max":5,"mime":["image/png","image/jpeg","image/webp"],)"
         R"("role":"reference","type":"image"}],"outputs":["image"]})"},
        {"VIDEO", json::object(), json::object(), R"({"api":"videoGenerate","inputs":[],"outputs":["video"]})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.family) + " " + c.model.dump() + " " + c.params.dump());
        EXPECT_EQ(buildModelIoSchema(c.family, c.model, c.params, dir.path()).dump(), c.expected);
    }
}

}  // namespace
