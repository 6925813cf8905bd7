// The stand-in backend's script as a weights file: what a server started
// with the stand-in switch plays for each "AUDIO" instance.
#include <gtest/gtest.h>

#include <cmath>

#include "speech_test_util.h"

namespace {

using namespace speechtest;

TEST(StandInScriptTest, WeightsFileScriptDrivesTheEngine) {
    SpeechRig rig;
    writeTextFile(rig.dir.file("voice.gguf"), nlohmann::json({{"kind", 2},
                                                              {"sample_rate", 8000},
                                                              {"channels", 1},
                                                              {"voices", {"ann"}},
                                                              {"clone", true},
                                                              {"frames", 2},
                                                              {"frame_samples", {{0.5, "nan"}, {"inf", "-inf"}}}})
                                                  .dump());
    MivrelAudioEngine engine(standInAudioGenLoader());
    engine.fileStore = &rig.store;
    engine.loadModel(rig.settings());
    engine.initContext(SpeechRig::context());
    EXPECT_EQ(engine.modelType(), "pockettts");
    EXPECT_EQ(engine.voices(), std::vector<std::string>{"ann"});
    EXPECT_TRUE(engine.voiceClone());
    ASSERT_TRUE(engine.startInputGeneration(rig.input("hi")));
    std::vector<GenerationEvent> events;
    GenerationEvent event;
    while (engine.fetchNextEvent(event)) events.push_back(event);
    const GenerationEvent result = finalEvent(events, "result");
    EXPECT_EQ(result.data["voice"], "ann");
    EXPECT_EQ(result.data["frames"], 2);
    const Bytes wav = rig.store.read(result.files.at(0), rig.key);
    ASSERT_EQ(wav.size(), 44u + 8u);
    // 0.5, NaN, +inf, -inf as 16-bit samples.
    const std::vector<uint8_t> samples(wav.begin() + 44, wav.end());
    EXPECT_EQ(samples, (std::vector<uint8_t>{0x00, 0x40, 0, 0, 0, 0, 0, 0}));
}

TEST(StandInScriptTest, BadScriptsDoNotLoad) {
    struct Case {
        const char* name;
        std::string text;
    } cases[] = {
        {"not JSON", "GGUF binary weights"},
        {"not an object", "[1]"},
        {"unknown key", R"({"pitch":1})"},
        {"wrong type", R"({"frames":"3"})"},
        {"bad sample", R"({"frame_samples":[["loud"]]})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SpeechRig rig;
        writeTextFile(rig.dir.file("voice.gguf"), c.text);
        MivrelAudioEngine engine(standInAudioGenLoader());
        try {
            engine.loadModel(rig.settings());
            ADD_FAILURE() << "loaded";
        } catch (const MivrelException& e) {
            EXPECT_EQ(e.message, "failed to load files.mmproj: " + rig.dir.file("voice.gguf"));
        }
    }
    EXPECT_THROW(scriptedAudioScriptFromJson(nlohmann::json{{"clone", 1}}), std::invalid_argument);
}

}  // namespace
