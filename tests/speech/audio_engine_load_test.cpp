// Loading the speech engine: the weights file, model kinds, voices and the
// default voice, the clone flag, the capabilities, the limits and the input
// schema; the real backend of the release on weights it cannot speak with.
#include <gtest/gtest.h>

#include <climits>

#include "speech/mtmd_audio_gen_backend.h"
#include "speech_test_util.h"
#include "base/captured_log.h"

namespace {

using namespace speechtest;

MivrelException loadFailure(MivrelAudioEngine& engine, const ModelLoadSettings& settings) {
    try {
        engine.loadModel(settings);
    } catch (const MivrelException& e) {
        return e;
    }
    ADD_FAILURE() << "no MivrelException";
    return MivrelException(MivrelErrorCode{}, "none");
}

TEST(AudioEngineLoadTest, KindsVoicesDefaultVoiceAndCloneFlag) {
    struct Case {
        const char* name;
        int32_t kind;
        int32_t sampleRate;
        int32_t channels;
        std::vector<std::string> voices;
        bool clone;
        nlohmann::json params;       // instance parameters
        nlohmann::json genDefaults;  // model's generation defaults
        const char* modelType;
        nlohmann::json defaultVoice;
        int maxSeconds;
        const char* fallbackLine;  // "" when none may be logged
    };
    const Case cases[] = {
        {"instance voice offered", 1, 24000, 1, {"amy", "bob"}, false, {{"voice", "bob"}}, nullptr, "qwen3tts", "bob",
         600, ""},
        {"model default voice", 2, 24000, 1, {"amy", "bob"}, true, nullptr, {{"voice", "bob"}}, "pockettts", "bob", 600,
         ""},
        {"no default: first voice", 3, 32000, 2, {"amy", "bob"}, false, nullptr, nullptr, "soprano", "amy", 600, ""},
        {"unknown default falls back", 4, 16000, 1, {"amy", "bob"}, false, {{"voice", "zed"}}, nullptr, "lfm3a", "amy",
         600, "[AudioEngine] 기본 목소리 'zed' 가 모델에 없음 \xE2\x86\x92 'amy'"},
        {"no voices", 5, 24000, 1, {}, true, {{"voice", "bob"}}, nullptr, "chatterbox", nullptr, 600, ""},
        {"zonos frame limit", 7, 24000, 1, {}, false, nullptr, nullptr, "zonos3", nullptr, 245, ""},
        {"channels at least one", 9, 44100, 0, {}, false, nullptr, nullptr, "fish_s2", nullptr, 600, ""},
        {"unknown kind", 42, 8000, 1, {}, false, nullptr, nullptr, "unknown", nullptr, 600, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SpeechRig rig;
        rig.script->info = AudioGenInfo{c.kind, c.sampleRate, c.channels, "", 0};
        rig.script->voices = c.voices;
        rig.script->clone = c.clone;
        ModelLoadSettings settings = rig.settings();
        if (!c.params.is_null()) settings.params = c.params;
        if (!c.genDefaults.is_null()) settings.modelProperties["genDefaults"] = c.genDefaults;
        CapturedLog log;
        MivrelAudioEngine& engine = rig.make();
        EXPECT_TRUE(engine.getCapabilities().is_null());
        engine.loadModel(settings);
        EXPECT_EQ(rig.script->loadedPath, rig.dir.file("voice.gguf"));

        const nlohmann::json caps = engine.getCapabilities();
        const nlohmann::json expected = {{"model_type", c.modelType},
                                         {"voices", c.voices},
                                         {"default_voice", c.defaultVoice},
                                         {"voice_clone", c.clone},
                                         {"sample_rate", c.sampleRate},
                                         {"channels", c.channels < 1 ? 1 : c.channels},
                                         {"max_seconds", c.maxSeconds}};
        EXPECT_EQ(caps, expected);
        const std::string text = log.text();
        if (*c.fallbackLine) {
            EXPECT_NE(text.find(c.fallbackLine), std::string::npos) << text;
        } else {
            EXPECT_EQ(text.find("기본 목소리"), std::string::npos) << text;
        }
        EXPECT_NE(text.find(std::string("[AudioEngine] 음성 생성 가중치 로드 완료: type=") + c.modelType), std::string::npos)
            << text;
        EXPECT_FALSE(engine.supportsAudioInput());
        EXPECT_FALSE(engine.supportsImageInput());

        // Unloading empties the voices; the kind stays until the next load.
        engine.unloadModel();
        EXPECT_TRUE(engine.getCapabilities().is_null());
        EXPECT_TRUE(engine.voices().empty());
        EXPECT_EQ(engine.defaultVoice(), "");
        EXPECT_EQ(engine.modelType(), c.modelType);
        EXPECT_EQ(engine.model(), nullptr);
    }
}

TEST(AudioEngineLoadTest, WeightsFileIsRequiredAndChecked) {
    SpeechRig rig;
    writeTextFile(rig.dir.file("not-a-model.gguf"), "plain text");
    struct Case {
        const char* name;
        nlohmann::json properties;
        bool loaderFails;
        int32_t kind;
        std::string message;
    };
    const std::string dir = rig.dir.path();
    const Case cases[] = {
        {"no files", nlohmann::json::object(), false, 1, "AUDIO model needs files.mmproj (the audio generation weights)"},
        {"mmproj not a text", {{"files", {{"mmproj", 5}}}}, false, 1,
         "AUDIO model needs files.mmproj (the audio generation weights)"},
        {"path in the name", {{"files", {{"mmproj", "../voice.gguf"}}}}, false, 1,
         "invalid file name in files.mmproj: ../voice.gguf"},
        {"missing file", {{"files", {{"mmproj", "absent.gguf"}}}}, false, 1,
         "model file not found (files.mmproj): " + dir + "/absent.gguf"},
        {"loader refuses", {{"files", {{"mmproj", "voice.gguf"}}}}, true, 1,
         "failed to load files.mmproj: " + dir + "/voice.gguf"},
        {"no audio generation", {{"files", {{"mmproj", "voice.gguf"}}}}, false, 0,
         "files.mmproj does not support audio generation: " + dir + "/voice.gguf"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rig.script->info.kind = c.kind;
        AudioGenLoader loader = fakeAudioGenLoader(rig.script);
        if (c.loaderFails) loader = [](const AudioGenLoadRequest&) { return std::unique_ptr<AudioGenBackend>(); };
        MivrelAudioEngine engine(loader);
        ModelLoadSettings settings = rig.settings();
        settings.modelProperties = c.properties;
        const MivrelException e = loadFailure(engine, settings);
        EXPECT_EQ(e.code, MivrelErrorCode::LoadFailed);
        EXPECT_EQ(e.message, c.message);
        EXPECT_EQ(engine.model(), nullptr);
        EXPECT_TRUE(engine.getCapabilities().is_null());
    }
}

// The release's own loader on files it cannot speak with: the kit's vision
// projector loads but has no audio generation, and a file that is no GGUF
// does not load. A context without weights is refused.
TEST(AudioEngineLoadTest, ReleaseBackendRefusesWeightsWithoutAudioGeneration) {
    SpeechRig rig;
    writeTextFile(rig.dir.file("not-a-model.gguf"), "plain text");
    const std::string vision = testModelPath(testmodels::kProjectorFile);
    struct Case {
        std::string dir;
        std::string file;
        std::string message;
    };
    const std::string visionDir = vision.substr(0, vision.rfind('/'));
    const Case cases[] = {
        {visionDir, testmodels::kProjectorFile,
         "files.mmproj does not support audio generation: " + vision},
        {rig.dir.path(), "not-a-model.gguf", "failed to load files.mmproj: " + rig.dir.file("not-a-model.gguf")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        MivrelAudioEngine engine;
        ModelLoadSettings settings = rig.settings();
        settings.modelDir = c.dir;
        settings.modelProperties = {{"files", {{"mmproj", c.file}}}};
        const MivrelException e = loadFailure(engine, settings);
        EXPECT_EQ(e.code, MivrelErrorCode::LoadFailed);
        EXPECT_EQ(e.message, c.message);
    }
}

TEST(AudioEngineLoadTest, GeneratorIsMadeWithTheContext) {
    SpeechRig rig;
    rig.script->generatorFails = true;
    MivrelAudioEngine& engine = rig.make();
    engine.loadModel(rig.settings());
    try {
        engine.initContext(SpeechRig::context());
        ADD_FAILURE() << "no MivrelException";
    } catch (const MivrelException& e) {
        EXPECT_EQ(e.code, MivrelErrorCode::ContextFailed);
        EXPECT_EQ(e.message, "this context cannot run the audio generation of the model (n_ctx 256 may be too small)");
    }
    EXPECT_EQ(engine.context(), nullptr);
    try {
        engine.startInputGeneration(rig.input("hello"));
        ADD_FAILURE() << "no MivrelException";
    } catch (const MivrelException& e) {
        EXPECT_EQ(e.code, MivrelErrorCode::NotLoaded);
        EXPECT_EQ(e.message, "model is not loaded");
    }
}

TEST(AudioEngineLoadTest, MaxSecondsComesFromTheLimits) {
    struct Case {
        nlohmann::json params;
        nlohmann::json properties;
        int expected;
    };
    const Case cases[] = {
        {nlohmann::json::object(), nlohmann::json::object(), 600},
        {{{"limits", {{"maxSeconds", 90.7}}}}, nlohmann::json::object(), 90},
        {{{"limits", {{"maxSeconds", 0.5}}}}, nlohmann::json::object(), 600},
        {{{"limits", {{"maxSeconds", 0.5}}}}, {{"limits", {{"maxSeconds", 30}}}}, 30},
        {{{"limits", {{"maxSeconds", "90"}}}}, nlohmann::json::object(), 600},
        {{{"limits", 90}}, {{"limits", {{"maxSeconds", 45}}}}, 45},
        {{{"limits", {{"maxSeconds", 1}}}}, {{"limits", {{"maxSeconds", 45}}}}, 1},
        {{{"limits", {{"maxSeconds", 1e300}}}}, nlohmann::json::object(), INT_MAX},
        {nlohmann::json::array(), {{"limits", {{"maxSeconds", 120}}}}, 120},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.params.dump() + " " + c.properties.dump());
        ModelLoadSettings settings;
        settings.params = c.params;
        settings.modelProperties = c.properties;
        EXPECT_EQ(audioMaxSeconds(settings), c.expected);
    }
    EXPECT_EQ(reportedMaxSeconds(600, "zonos3", 24000), 245);
    EXPECT_EQ(reportedMaxSeconds(100, "zonos3", 24000), 100);
    EXPECT_EQ(reportedMaxSeconds(600, "zonos3", 0), 600);
    EXPECT_EQ(reportedMaxSeconds(600, "qwen3tts", 24000), 600);
}

std::string optionsText(const InputSchema& schema) {
    std::string out;
    for (const OptionSpec& o : schema.options) {
        out += o.name + ":" + o.type;
        if (o.hasMin) out += " min=" + nlohmann::json(o.min).dump();
        if (o.hasMax) out += " max=" + nlohmann::json(o.max).dump();
        out += " default=" + o.defaultValue.dump() + "\n";
    }
    return out;
}

TEST(AudioEngineLoadTest, InputSchemaFollowsTheWeightsAndDefaults) {
    struct Case {
        const char* name;
        bool clone;
        nlohmann::json params;
        nlohmann::json genDefaults;
        const char* options;
    };
    const Case cases[] = {
        {"engine defaults", false, nlohmann::json::object(), nullptr,
         "voice:string default=null\n"
         "lang:string default=null\n"
         "speed:number min=0.25 max=4.0 default=1\n"
         "loudness:number min=-60.0 max=0.0 default=0\n"
         "temperature:number min=0.0 max=2.0 default=null\n"
         "seed:int min=-1.0 max=4294967294.0 default=-1\n"
         "max_seconds:number min=1.0 max=600.0 default=600\n"},
        {"generation defaults", true, {{"limits", {{"maxSeconds", 120}}}, {"seed", 7}},
         {{"lang", "ko"}, {"speed", 1.5}, {"loudness", -6}, {"temperature", 0.7}, {"seed", 9}, {"max_seconds", 30}},
         "voice:string default=null\n"
         "lang:string default=\"ko\"\n"
         "speed:number min=0.25 max=4.0 default=1.5\n"
         "loudness:number min=-60.0 max=0.0 default=-6\n"
         "temperature:number min=0.0 max=2.0 default=0.7\n"
         "seed:int min=-1.0 max=4294967294.0 default=7\n"
         "max_seconds:number min=1.0 max=120.0 default=30.0\n"},
        {"defaults of the wrong type", false, {{"max_seconds", 900}},
         {{"lang", 5}, {"speed", "fast"}, {"seed", 1.5}, {"temperature", "hot"}},
         "voice:string default=null\n"
         "lang:string default=null\n"
         "speed:number min=0.25 max=4.0 default=1\n"
         "loudness:number min=-60.0 max=0.0 default=0\n"
         "temperature:number min=0.0 max=2.0 default=null\n"
         "seed:int min=-1.0 max=4294967294.0 default=-1\n"
         "max_seconds:number min=1.0 max=600.0 default=600.0\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SpeechRig rig;
        rig.script->clone = c.clone;
        ModelLoadSettings settings = rig.settings();
        settings.params = c.params;
        if (!c.genDefaults.is_null()) settings.modelProperties["genDefaults"] = c.genDefaults;
        MivrelAudioEngine& engine = rig.make();
        engine.loadModel(settings);
        const InputSchema schema = engine.getInputSchema();
        std::string inputs;
        for (const InputSpec& i : schema.inputs) {
            inputs += i.type + "/" + i.role + " " + std::to_string(i.minCount) + ".." + std::to_string(i.maxCount) + "\n";
        }
        EXPECT_EQ(inputs, std::string("text/prompt 1..1\ntext/reference_text 0..1\n") +
                              (c.clone ? "audio/reference 0..1\n" : ""));
        EXPECT_EQ(optionsText(schema), c.options);
    }
}

// The release's enumeration numbers must be the kinds our table names.
TEST(ReleaseBackendMappingTest, KindNumbersOfTheReleaseMatchTheTable) {
    EXPECT_EQ(audioModelTypeName(MTMD_GEN_AUDIO_TYPE_NONE), "unknown");
    EXPECT_EQ(static_cast<int>(MTMD_GEN_AUDIO_TYPE_NONE), 0);
    EXPECT_EQ(audioModelTypeName(MTMD_GEN_AUDIO_TYPE_QWEN3TTS), "qwen3tts");
    EXPECT_EQ(audioModelTypeName(MTMD_GEN_AUDIO_TYPE_POCKETTTS), "pockettts");
}

TEST(ReleaseBackendMappingTest, InputRecordCarriesWhatTheReleaseCanApply) {
    struct Case {
        float speed;
        float loudness;
        const char* lang;
        int32_t result;
    };
    const Case cases[] = {
        {1.0f, 0.0f, "", 0},
        {1.0f, 0.0f, "ko", 0},
        {1.5f, 0.0f, "", 2},
        {1.0f, -6.0f, "", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.speed) + " " + std::to_string(c.loudness) + " " + c.lang);
        AudioGenInput input;
        input.text = "Hello there";
        input.lang = c.lang;
        input.seed = 4242;
        input.temperature = 0.5f;
        input.referenceText = "transcript";
        input.speed = c.speed;
        input.loudness = c.loudness;
        mtmd_helper_gen_audio_inp record{};
        EXPECT_EQ(fillReleaseInput(input, nullptr, record), c.result);
        if (c.result != 0) continue;
        EXPECT_EQ(std::string(record.prompt, record.prompt_len), "Hello there");
        EXPECT_EQ(record.seq_id, 0);
        EXPECT_EQ(record.speaker_ref, nullptr);
        if (*c.lang) {
            EXPECT_STREQ(record.lang, c.lang);
        } else {
            EXPECT_EQ(record.lang, nullptr);
        }
        EXPECT_EQ(record.seed, 4242u);
        EXPECT_EQ(record.top_k, 0);
        EXPECT_EQ(record.top_p, 0.0f);
        EXPECT_EQ(record.out_type, MTMD_HELPER_GEN_AUDIO_OUTTYPE_PCM);
    }
}

// The release's output call returns the whole buffer each time; each sample
// must be handed out once, and a reset buffer starts over.
TEST(ReleaseBackendMappingTest, CursorHandsOutEachSampleOnce) {
    NewSampleCursor cursor;
    std::vector<float> whole = {0.1f, 0.2f, 0.3f};
    std::vector<float> out;
    cursor.take(reinterpret_cast<const char*>(whole.data()), whole.size() * sizeof(float), out);
    EXPECT_EQ(out, (std::vector<float>{0.1f, 0.2f, 0.3f}));
    cursor.take(reinterpret_cast<const char*>(whole.data()), whole.size() * sizeof(float), out);
    EXPECT_EQ(out.size(), 3u);
    whole.push_back(0.4f);
    whole.push_back(0.5f);
    // A torn trailing float is not handed out until it is whole.
    cursor.take(reinterpret_cast<const char*>(whole.data()), whole.size() * sizeof(float) - 2, out);
    EXPECT_EQ(out, (std::vector<float>{0.1f, 0.2f, 0.3f, 0.4f}));
    cursor.take(reinterpret_cast<const char*>(whole.data()), whole.size() * sizeof(float), out);
    EXPECT_EQ(out, (std::vector<float>{0.1f, 0.2f, 0.3f, 0.4f, 0.5f}));
    const std::vector<float> after = {0.9f};
    cursor.take(reinterpret_cast<const char*>(after.data()), sizeof(float), out);
    EXPECT_EQ(out.back(), 0.9f);
    cursor.take(nullptr, 0, out);
    EXPECT_EQ(out.size(), 6u);
}

}  // namespace
