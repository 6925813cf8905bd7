// Speech jobs with the scripted backend on the real text model: the stored
// WAV against a golden file, voices and speaker references from plain and
// encrypted stores, start refusals, backend failures, the sample budget,
// progress and cancellation by stop, unload and destruction.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "speech/wav_writer.h"
#include "support/golden_wav.h"
#include "speech_test_util.h"

namespace {

using namespace speechtest;

GenerationInputError startRefusal(MivrelAudioEngine& engine, const GenerationInput& input) {
    try {
        engine.startInputGeneration(input);
    } catch (const GenerationInputError& e) {
        return e;
    }
    ADD_FAILURE() << "no GenerationInputError";
    return GenerationInputError("none");
}

constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(SpeechJobTest, StoresTheWavOfTheGeneratedSamples) {
    SpeechRig rig;
    rig.script->info = AudioGenInfo{1, 16000, 2, "", 0};
    rig.script->frames = 3;
    // Half steps round away from zero, out-of-range values clamp, NaN and
    // infinities become silence.
    const std::vector<std::vector<float>> frames = {
        {0.5f, -0.5f, 1.0f, -1.0f}, {0.25f, -0.25f, 1.5f, -2.0f}, {NAN, kInf, -kInf, 0.0f}};
    rig.script->frameSamples = [frames](int i) { return frames[static_cast<size_t>(i)]; };
    rig.script->flushSamples = {0.1f, -0.1f};
    MivrelAudioEngine& engine = rig.loaded();

    ASSERT_TRUE(engine.startInputGeneration(
        rig.input("Hello there", {{"seed", 42}, {"lang", "ko"}, {"temperature", 0.7}, {"speed", 1.0},
                                  {"loudness", 0}, {"max_seconds", 10}})));
    const std::vector<GenerationEvent> events = rig.drain();
    const GenerationEvent result = finalEvent(events, "result");
    ASSERT_EQ(result.files.size(), 1u);
    const std::string& name = result.files[0];
    EXPECT_EQ(name.rfind("gen-", 0), 0u) << name;
    EXPECT_EQ(name.substr(name.size() - 4), ".wav");

    const std::vector<uint8_t> golden =
        golden::wav16(16000, 2, {16384, -16384, 32767, -32767, 8192, -8192, 32767, -32767, 0, 0, 0, 0, 3277, -3277});
    const Bytes stored = rig.store.read(name, rig.key);
    EXPECT_EQ(std::vector<uint8_t>(stored.begin(), stored.end()), golden);

    nlohmann::json data = result.data;
    ASSERT_TRUE(data.contains("prompt_ms"));
    EXPECT_GE(data["prompt_ms"].get<int64_t>(), 0);
    data.erase("prompt_ms");
    EXPECT_EQ(data, (nlohmann::json{{"seed", 42},
                                    {"sample_rate", 16000},
                                    {"channels", 2},
                                    {"duration_sec", 0.0},
                                    {"frames", 3},
                                    {"truncated", false}}));
    EXPECT_GE(result.elapsedMs, 0);

    // What the generator was given, and the sampler's tokens from the real
    // text model's logits.
    EXPECT_EQ(rig.script->lastInput.text, "Hello there");
    EXPECT_EQ(rig.script->lastInput.lang, "ko");
    EXPECT_EQ(rig.script->lastInput.seed, 42u);
    EXPECT_FLOAT_EQ(rig.script->lastInput.temperature, 0.7f);
    EXPECT_EQ(rig.script->lastSpeaker, "");
    ASSERT_EQ(rig.script->tokens.size(), 3u);
    for (size_t i = 0; i < rig.script->tokens.size(); ++i) {
        EXPECT_GE(rig.script->tokens[i], 0);
        EXPECT_LT(rig.script->tokens[i], testmodels::kVocabSize);
        EXPECT_TRUE(rig.script->hiddenSeen[i]);
    }

    // The finished job leaves the engine idle, and the next one runs.
    GenerationEvent none;
    EXPECT_FALSE(engine.fetchNextEvent(none));
    EXPECT_TRUE(engine.workerIdle());
    ASSERT_TRUE(engine.startInputGeneration(rig.input("Again")));
    const GenerationEvent again = finalEvent(rig.drain(), "result");
    EXPECT_NE(again.files[0], name);
    EXPECT_GE(again.data["seed"].get<int64_t>(), 0);
    EXPECT_LE(again.data["seed"].get<int64_t>(), 2147483647);
    // A whole number written as a float is the seed the schema let through.
    ASSERT_TRUE(engine.startInputGeneration(rig.input("Float seed", {{"seed", 4294967294.0}})));
    EXPECT_EQ(finalEvent(rig.drain(), "result").data["seed"], 4294967294LL);
    EXPECT_EQ(rig.script->lastInput.seed, 4294967294u);
}

TEST(SpeechJobTest, SampleConversionAndWavLimits) {
    struct Case {
        float in;
        int16_t out;
    };
    const Case cases[] = {
        {0.0f, 0},          {1.0f, 32767},      {-1.0f, -32767},   {0.5f, 16384},    {-0.5f, -16384},
        {2.0f, 32767},      {-7.5f, -32767},    {NAN, 0},          {kInf, 0},        {-kInf, 0},
        {1e-9f, 0},         {0.25f, 8192},      {-0.25f, -8192},   {1.0f / 32767.0f, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(wavSample16(c.in), c.out);
    }
    // The largest count whose sizes fit the 32-bit header fields.
    EXPECT_LE(36 + 2 * kMaxWavSamples, 0xFFFFFFFFull);
    EXPECT_GT(36 + 2 * (kMaxWavSamples + 1), 0xFFFFFFFFull);
    EXPECT_EQ(encodeWav16({}, 24000, 1), golden::wav16(24000, 1, {}));
    EXPECT_THROW(encodeWav16({0.0f}, 0, 1), std::runtime_error);
    EXPECT_THROW(encodeWav16({0.0f}, 24000, 0), std::runtime_error);
}

TEST(SpeechJobTest, PredefinedVoicesAndSpeakerReferences) {
    const std::string riff = "RIFF....WAVEfmt ";
    struct Case {
        const char* name;
        bool encrypted;
        std::vector<std::string> voices;
        bool clone;
        nlohmann::json options;
        const char* reference;     // stored name to pass as the speaker reference, or ""
        const char* expectSpeaker; // what the generator got
        nlohmann::json voiceKey;   // "voice" of the result, null when absent
        nlohmann::json refKey;     // "speaker_ref" of the result
    };
    const Case cases[] = {
        {"default voice", false, {"amy", "bob"}, false, nlohmann::json::object(), "", "voice:amy", "amy", nullptr},
        {"chosen voice", false, {"amy", "bob"}, false, {{"voice", "bob"}}, "", "voice:bob", "bob", nullptr},
        {"no voices, no speaker", false, {}, false, nlohmann::json::object(), "", "", nullptr, nullptr},
        {"reference, plain store", false, {"amy"}, true, nlohmann::json::object(), "me.wav",
         "ref:16", nullptr, "files/me.wav"},
        {"reference, encrypted store", true, {}, true, {{"voice", ""}}, "me.wav", "ref:16", nullptr, "files/me.wav"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SpeechRig rig(c.encrypted, c.encrypted ? "secret-token" : "");
        rig.script->voices = c.voices;
        rig.script->clone = c.clone;
        rig.script->frameSamples = [](int) { return std::vector<float>{0.1f}; };
        MivrelAudioEngine& engine = rig.loaded();
        GenerationInput input = rig.input("Hello", c.options);
        if (*c.reference) {
            rig.store.containerForTesting().write(c.reference, riff, "", 0, rig.key);
            input.addFilePart("audio", "reference", c.reference);
        }
        ASSERT_TRUE(engine.startInputGeneration(input));
        const GenerationEvent result = finalEvent(rig.drain(), "result");
        EXPECT_EQ(rig.script->lastSpeaker, c.expectSpeaker);
        EXPECT_EQ(result.data.contains("voice") ? result.data["voice"] : nlohmann::json(), c.voiceKey);
        EXPECT_EQ(result.data.contains("speaker_ref") ? result.data["speaker_ref"] : nlohmann::json(), c.refKey);
    }
}

TEST(SpeechJobTest, StartRefusesInputTheJobCannotRun) {
    struct Case {
        const char* name;
        std::vector<std::string> voices;
        bool clone;
        int32_t setInputResult;
        std::string text;
        nlohmann::json options;
        const char* reference;  // stored content for "ref.bin", or nullptr
        std::string message;
    };
    const Case cases[] = {
        {"blank text", {}, false, 0, " \t\n", nlohmann::json::object(), nullptr, "\"text\" must not be empty"},
        {"voice with reference", {"amy"}, true, 0, "Hi", {{"voice", "amy"}}, "RIFFdata",
         "\"voice\" and \"speaker_ref\" cannot be used together"},
        {"no cloning", {}, false, 0, "Hi", nlohmann::json::object(), "RIFFdata",
         "this model does not support voice cloning (speaker_ref)"},
        {"reference not audio", {}, true, 0, "Hi", nlohmann::json::object(), "\x89PNG....",
         "cannot read speaker_ref as audio (use wav, mp3 or flac): files/ref.bin"},
        {"unknown voice", {"amy", "bob"}, false, 0, "Hi", {{"voice", "zed"}}, nullptr,
         "unknown voice \"zed\" (available: amy, bob)"},
        {"no predefined voices", {}, false, 0, "Hi", {{"voice", "amy"}}, nullptr,
         "this model has no predefined voices (\"voice\" is not supported)"},
        {"speed refused", {}, false, 2, "Hi", {{"speed", 1.5}}, nullptr,
         "this model does not support the given speed / loudness (use speed 1.0 and loudness 0)"},
        {"input refused", {}, false, 1, "Hi", nlohmann::json::object(), nullptr,
         "the model rejected the input (text may be empty or too long for n_ctx 256)"},
        {"text beyond the context", {}, false, 0, std::string(256 * 64 + 1, 'a'), nlohmann::json::object(), nullptr,
         "the model rejected the input (text may be empty or too long for n_ctx 256)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SpeechRig rig;
        rig.script->voices = c.voices;
        rig.script->clone = c.clone;
        rig.script->setInputResult = c.setInputResult;
        MivrelAudioEngine& engine = rig.loaded();
        GenerationInput input = rig.input(c.text, c.options);
        if (c.reference) {
            const std::string content = c.reference;
            rig.store.containerForTesting().write("ref.bin", content, "", 0, rig.key);
            input.addFilePart("audio", "reference", "ref.bin");
        }
        EXPECT_EQ(startRefusal(engine, input).what(), c.message);
        // Nothing runs after a refusal, and a good request still starts.
        GenerationEvent none;
        EXPECT_FALSE(engine.fetchNextEvent(none));
        rig.script->setInputResult = 0;
        rig.script->frameSamples = [](int) { return std::vector<float>{0.2f}; };
        ASSERT_TRUE(engine.startInputGeneration(rig.input("Hello")));
        finalEvent(rig.drain(), "result");
    }
}

TEST(SpeechJobTest, MissingReferenceFileFailsThroughTheStore) {
    SpeechRig rig;
    rig.script->clone = true;
    MivrelAudioEngine& engine = rig.loaded();
    GenerationInput input = rig.input("Hi");
    input.addFilePart("audio", "reference", "absent.wav");
    EXPECT_THROW(engine.startInputGeneration(input), FileStoreException);
    engine.fileStore = nullptr;
    try {
        engine.startInputGeneration(input);
        ADD_FAILURE() << "no MivrelException";
    } catch (const MivrelException& e) {
        EXPECT_EQ(e.code, MivrelErrorCode::RuntimeFailed);
        EXPECT_EQ(e.message, "file store is not attached");
    }
}

TEST(SpeechJobTest, BackendFailuresEndTheJobWithOneErrorEvent) {
    struct Case {
        const char* name;
        int failPromptAt;
        int failFrameAt;
        int failOutputAt;
        int32_t flushResult;
        bool noSamples;
        const char* message;
    };
    const Case cases[] = {
        {"prompt", 1, -1, -1, 0, false, "prompt processing failed"},
        {"frame", -1, 2, -1, 0, false, "audio frame generation failed at frame 2"},
        {"output", -1, -1, 1, 0, false, "reading generated audio failed"},
        {"output after flush", -1, -1, 3, 0, false, "reading generated audio failed"},
        {"flush", -1, -1, -1, 1, false, "flushing generated audio failed"},
        {"no audio", -1, -1, -1, 0, true, "the model generated no audio"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SpeechRig rig;
        rig.script->promptSteps = 3;
        rig.script->frames = 3;
        rig.script->failPromptAt = c.failPromptAt;
        rig.script->failFrameAt = c.failFrameAt;
        rig.script->failOutputAt = c.failOutputAt;
        rig.script->flushResult = c.flushResult;
        if (!c.noSamples) rig.script->frameSamples = [](int) { return std::vector<float>{0.3f, 0.3f}; };
        MivrelAudioEngine& engine = rig.loaded();
        ASSERT_TRUE(engine.startInputGeneration(rig.input("Hello")));
        const GenerationEvent error = finalEvent(rig.drain(), "error");
        EXPECT_EQ(error.data, (nlohmann::json{{"message", c.message}}));
        EXPECT_TRUE(error.files.empty());
        EXPECT_TRUE(rig.store.list().empty());
        EXPECT_TRUE(engine.workerIdle());
    }
}

TEST(SpeechJobTest, SampleBudgetTruncates) {
    struct Case {
        const char* name;
        int32_t kind;
        int32_t rate;
        int32_t channels;
        int frames;
        bool endless;
        int perFrame;
        double maxSeconds;
        size_t storedSamples;
        bool truncated;
    };
    const Case cases[] = {
        {"cut to the budget", 1, 100, 1, 0, true, 30, 1, 100, true},
        {"stereo budget counts interleaved samples", 1, 100, 2, 0, true, 30, 1.5, 300, true},
        {"ends before the budget", 1, 100, 1, 3, false, 30, 1, 90, false},
        {"zonos frame cap", 7, 24000, 1, 1999, false, 1, 600, 1999, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SpeechRig rig;
        rig.script->info = AudioGenInfo{c.kind, c.rate, c.channels, "", 0};
        rig.script->frames = c.frames;
        rig.script->endless = c.endless;
        const int perFrame = c.perFrame;
        rig.script->frameSamples = [perFrame](int) { return std::vector<float>(static_cast<size_t>(perFrame), 0.5f); };
        MivrelAudioEngine& engine = rig.loaded();
        ASSERT_TRUE(engine.startInputGeneration(rig.input("Hello", {{"max_seconds", c.maxSeconds}})));
        const GenerationEvent result = finalEvent(rig.drain(), "result");
        EXPECT_EQ(result.data["truncated"], c.truncated);
        const Bytes wav = rig.store.read(result.files.at(0), rig.key);
        EXPECT_EQ(wav.size(), 44 + 2 * c.storedSamples);
        EXPECT_DOUBLE_EQ(result.data["duration_sec"].get<double>(),
                         std::round(static_cast<double>(c.storedSamples) / c.channels / c.rate * 100) / 100);
    }
}

TEST(SpeechJobTest, OneJobAtATime) {
    SpeechRig rig;
    rig.script->endless = true;
    rig.script->frameDelayMs = 5;
    MivrelAudioEngine& engine = rig.loaded();
    ASSERT_TRUE(engine.startInputGeneration(rig.input("Hello")));
    try {
        engine.startInputGeneration(rig.input("Again"));
        ADD_FAILURE() << "no MivrelException";
    } catch (const MivrelException& e) {
        EXPECT_EQ(e.code, MivrelErrorCode::BadInput);
        EXPECT_EQ(e.message, "generation already in progress");
    }
    engine.abortGeneration();
    finalEvent(rig.drain(), "cancelled");
}

// Waits until the scripted backend has made `frames` frames.
void waitForFrames(const FakeAudioScript& script, int frames) {
    while (script.frameCalls.load() < frames) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

TEST(SpeechJobTest, StopMidJobIsCancelledWithoutAFile) {
    SpeechRig rig;
    rig.script->endless = true;
    rig.script->frameDelayMs = 40;
    rig.script->frameSamples = [](int) { return std::vector<float>(240, 0.1f); };
    MivrelAudioEngine& engine = rig.loaded();
    ASSERT_TRUE(engine.startInputGeneration(rig.input("Hello")));
    // More than a second of frames: at least one progress event is due.
    waitForFrames(*rig.script, 30);
    engine.abortGeneration();
    const std::vector<GenerationEvent> events = rig.drain();
    const GenerationEvent cancelled = finalEvent(events, "cancelled");
    EXPECT_EQ(cancelled.data, nlohmann::json::object());
    EXPECT_TRUE(cancelled.files.empty());
    ASSERT_GE(events.size(), 2u);
    for (size_t i = 0; i + 1 < events.size(); ++i) {
        EXPECT_EQ(events[i].type, "progress");
        EXPECT_TRUE(events[i].data.contains("frames"));
        EXPECT_TRUE(events[i].data.contains("audio_sec"));
        EXPECT_EQ(events[i].step, 0);
    }
    EXPECT_GT(events[0].data["frames"].get<int>(), 0);
    EXPECT_GT(events[0].data["audio_sec"].get<double>(), 0.0);
    EXPECT_TRUE(rig.store.list().empty());
}

TEST(SpeechJobTest, CancellationDuringThePrompt) {
    SpeechRig rig;
    rig.script->promptSteps = 1000000;
    rig.script->promptDelayMs = 2;
    MivrelAudioEngine& engine = rig.loaded();
    ASSERT_TRUE(engine.startInputGeneration(rig.input("Hello")));
    while (rig.script->promptCalls.load() < 3) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    engine.abortGeneration();
    finalEvent(rig.drain(), "cancelled");
    EXPECT_EQ(rig.script->frameCalls.load(), 0);
}

TEST(SpeechJobTest, UnloadFromAnotherThreadEndsTheReader) {
    SpeechRig rig;
    rig.script->endless = true;
    rig.script->frameDelayMs = 5;
    MivrelAudioEngine& engine = rig.loaded();
    ASSERT_TRUE(engine.startInputGeneration(rig.input("Hello")));
    waitForFrames(*rig.script, 3);
    std::vector<GenerationEvent> events;
    std::thread reader([&] { events = rig.drain(); });
    engine.unloadModel();
    reader.join();
    finalEvent(events, "cancelled");
    EXPECT_EQ(engine.model(), nullptr);
    EXPECT_TRUE(engine.getCapabilities().is_null());
}

TEST(SpeechJobTest, DestructionEndsARunningJob) {
    SpeechRig rig;
    rig.script->endless = true;
    rig.script->frameDelayMs = 5;
    rig.loaded();
    ASSERT_TRUE(rig.engine->startInputGeneration(rig.input("Hello")));
    waitForFrames(*rig.script, 3);
    rig.engine.reset();
    const int frames = rig.script->frameCalls.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(rig.script->frameCalls.load(), frames);  // the worker is gone
    EXPECT_TRUE(rig.store.list().empty());
}

}  // namespace
