// Image and video jobs on the stand-in media library: events, stored files,
// refusals, library failures, cancellation, the process-wide media lock,
// and the worker's end on unload and destruction.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "codec/png_image.h"
#include "codec/webm_reading.h"
#include "engine/mivrel_exception.h"
#include "media/media_engine.h"
#include "media/media_job_lock.h"
#include "media/media_test_model.h"
#include "media/sd_library.h"

namespace {

const char* const kControls[] = {"BRISVANE_STANDIN_STEP_DELAY_MS", "BRISVANE_STANDIN_FAIL", "BRISVANE_STANDIN_FPS",
                                 "BRISVANE_STANDIN_AUDIO", "BRISVANE_STANDIN_AUDIO_RATE"};

class MediaJobs : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SdLibrary::instance().loaded) << SdLibrary::instance().error;
        for (const char* name : kControls) ::unsetenv(name);
    }
    void TearDown() override {
        for (const char* name : kControls) ::unsetenv(name);
    }
};

// A loaded engine over `model` with its store attached.
std::unique_ptr<MivrelMediaEngine> loadedEngine(MediaTestModel& model, const char* family = "IMAGE") {
    auto engine = std::make_unique<MivrelMediaEngine>(family);
    engine->fileStore = &model.store;
    engine->loadModel(model.settings);
    return engine;
}

GenerationInput request(const MediaTestModel& model, const std::string& prompt, const nlohmann::json& options) {
    GenerationInput input;
    input.addTextPart("prompt", prompt);
    input.options = options;
    input.storeKey = model.key;
    return input;
}

std::vector<GenerationEvent> drain(MivrelEngine& engine) {
    std::vector<GenerationEvent> events;
    GenerationEvent event;
    while (engine.fetchNextEvent(event)) events.push_back(event);
    return events;
}

std::vector<GenerationEvent> run(MivrelEngine& engine, const GenerationInput& input) {
    engine.startInputGeneration(input);
    return drain(engine);
}

// Waits for the first event of a running job.
GenerationEvent firstEvent(MivrelEngine& engine) {
    GenerationEvent event;
    EXPECT_TRUE(engine.fetchNextEvent(event));
    return event;
}

RgbImage decoded(MediaTestModel& model, const std::string& name) {
    RgbImage image;
    std::string reason;
    EXPECT_TRUE(decodeImageRgb(model.store.read(name, model.key), image, reason)) << reason;
    return image;
}

TEST_F(MediaJobs, ImageJobReportsProgressAndStoresPngs) {
    MediaTestModel model;
    auto engine = loadedEngine(model);
    GenerationEvent none;
    EXPECT_FALSE(engine->fetchNextEvent(none)) << "no job has run";

    const auto events = run(*engine, request(model, "a red fox", {{"width", 64}, {"height", 72}, {"steps", 3},
                                                                   {"count", 2}, {"seed", 5}}));
    ASSERT_EQ(events.size(), 7u);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(events[i].type, "progress");
        EXPECT_EQ(events[i].step, static_cast<int32_t>(i % 3 + 1));
        EXPECT_EQ(events[i].steps, 3);
        EXPECT_TRUE(events[i].files.empty());
    }
    const GenerationEvent& result = events.back();
    EXPECT_EQ(result.type, "result");
    EXPECT_EQ(result.data, (nlohmann::json{{"seed", 5}, {"width", 64}, {"height", 72}, {"steps", 3}}));
    ASSERT_EQ(result.files.size(), 2u);
    for (const std::string& name : result.files) {
        EXPECT_EQ(name.rfind("gen-", 0), 0u) << name;
        EXPECT_EQ(name.substr(name.size() - 4), ".png");
        const RgbImage image = decoded(model, name);
        EXPECT_EQ(image.width, 64);
        EXPECT_EQ(image.height, 72);
    }
    EXPECT_NE(decoded(model, result.files[0]).pixels, decoded(model, result.files[1]).pixels);
    EXPECT_FALSE(engine->fetchNextEvent(none)) << "after the final event";

    // The same request draws the same picture; another seed another one.
    const auto again = run(*engine, request(model, "a red fox", {{"width", 64}, {"height", 72}, {"steps", 3},
                                                                  {"seed", 5}}));
    const auto other = run(*engine, request(model, "a red fox", {{"width", 64}, {"height", 72}, {"steps", 3},
                                                                  {"seed", 6}}));
    EXPECT_EQ(decoded(model, again.back().files[0]).pixels, decoded(model, result.files[0]).pixels);
    EXPECT_NE(decoded(model, other.back().files[0]).pixels, decoded(model, result.files[0]).pixels);

    // Seed -1 reports the random seed it used; defaults fill missing options.
    const auto random = run(*engine, request(model, "x", {{"width", 64}, {"height", 64}, {"steps", 1}, {"seed", -1}}));
    const int64_t seed = random.back().data["seed"].get<int64_t>();
    EXPECT_GE(seed, 0);
    EXPECT_LE(seed, 2147483647);
}

TEST_F(MediaJobs, ReferenceImagesAreBlendedAndBadOnesFailTheJob) {
    MediaTestModel model({}, {{"supportsRefImages", true}});
    auto engine = loadedEngine(model);
    std::vector<uint8_t> white(8 * 8 * 3, 255);
    std::vector<uint8_t> png;
    ASSERT_TRUE(encodePng(8, 8, 3, white.data(), png));
    model.put("white.png", png);
    model.put("bad.png", {'n', 'o', 'p', 'e'});
    const nlohmann::json options = {{"width", 64}, {"height", 64}, {"steps", 1}, {"seed", 1}};

    const auto plain = run(*engine, request(model, "p", options));
    GenerationInput withRef = request(model, "p", options);
    withRef.addFilePart("image", "reference", "white.png");
    const auto blended = run(*engine, withRef);
    ASSERT_EQ(blended.back().type, "result");
    EXPECT_NE(decoded(model, blended.back().files[0]).pixels, decoded(model, plain.back().files[0]).pixels);

    GenerationInput bad = request(model, "p", options);
    bad.addFilePart("image", "reference", "bad.png");
    auto events = run(*engine, bad);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, "error");
    EXPECT_EQ(events[0].data["message"], "cannot read image: bad.png");

    GenerationInput missing = request(model, "p", options);
    missing.addFilePart("image", "reference", "gone.png");
    events = run(*engine, missing);
    EXPECT_EQ(events.back().type, "error");
    EXPECT_EQ(events.back().data["message"], "file not found: gone.png");
}

TEST_F(MediaJobs, StartRefusalsQueueNothing) {
    MediaTestModel model;
    MivrelMediaEngine unloaded("IMAGE");
    try {
        unloaded.startInputGeneration(request(model, "p", nlohmann::json::object()));
        ADD_FAILURE() << "started without a model";
    } catch (const MivrelException& e) {
        EXPECT_EQ(e.code, MivrelErrorCode::NotLoaded);
        EXPECT_EQ(e.message, "model is not loaded");
    }

    auto engine = loadedEngine(model);
    const std::pair<nlohmann::json, std::string> refused[] = {
        {{{"sampler", "bogus"}}, "unknown sampler: bogus"},
        {{{"scheduler", "sometimes"}}, "unknown scheduler: sometimes"},
        {{{"width", 4096}}, "\"width\" must be <= 2048.0"},
        {{{"height", 100}}, "\"height\" must be a multiple of 8"},
        {{{"steps", 0}}, "\"steps\" must be >= 1.0"},
        {{{"count", 9}}, "\"count\" must be <= 4.0"},
        {{{"seed", 1e12}}, "\"seed\" must be <= 2147483647.0"},
        {{{"frames", 4}}, "unknown option: \"frames\""},
    };
    for (const auto& [options, message] : refused) {
        try {
            engine->startInputGeneration(request(model, "p", options));
            ADD_FAILURE() << "started with " << options.dump();
        } catch (const GenerationInputError& e) {
            EXPECT_EQ(std::string(e.what()), message);
        }
        GenerationEvent event;
        EXPECT_FALSE(engine->fetchNextEvent(event)) << options.dump();
    }
    GenerationInput extraPart = request(model, "p", nlohmann::json::object());
    extraPart.addFilePart("image", "reference", "x.png");
    EXPECT_THROW(engine->startInputGeneration(extraPart), GenerationInputError) << "no vision: no references";

    // A second start while a job runs leaves the running job alone.
    ::setenv("BRISVANE_STANDIN_STEP_DELAY_MS", "20", 1);
    engine->startInputGeneration(request(model, "p", {{"width", 64}, {"height", 64}, {"steps", 10}}));
    try {
        engine->startInputGeneration(request(model, "q", {{"width", 64}, {"height", 64}, {"steps", 1}}));
        ADD_FAILURE() << "a second job started";
    } catch (const MivrelException& e) {
        EXPECT_EQ(e.code, MivrelErrorCode::BadInput);
        EXPECT_EQ(e.message, "generation already in progress");
    }
    const auto events = drain(*engine);
    EXPECT_EQ(events.size(), 11u);
    EXPECT_EQ(events.back().type, "result");
}

TEST_F(MediaJobs, LibraryFailuresBecomeErrorEvents) {
    MediaTestModel model;
    auto engine = loadedEngine(model);
    const nlohmann::json options = {{"width", 64}, {"height", 64}, {"steps", 2}, {"count", 3}};
    const std::pair<const char*, std::string> cases[] = {
        {"generate", "image generation failed: injected failure: generate"},
        {"empty", "image generation failed: empty result"},
    };
    for (const auto& [mode, message] : cases) {
        ::setenv("BRISVANE_STANDIN_FAIL", mode, 1);
        const auto events = run(*engine, request(model, "p", options));
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back().type, "error") << mode;
        EXPECT_EQ(events.back().data["message"], message);
        EXPECT_TRUE(events.back().files.empty());
    }
    // Three images of which the last has no pixels: two stored.
    ::setenv("BRISVANE_STANDIN_FAIL", "blank_last", 1);
    const auto events = run(*engine, request(model, "p", options));
    EXPECT_EQ(events.back().type, "result");
    EXPECT_EQ(events.back().files.size(), 2u);
    EXPECT_EQ(model.store.list().size(), 2u);
}

TEST_F(MediaJobs, AbortDuringGenerationCancelsAndStoresNothing) {
    MediaTestModel model;
    auto engine = loadedEngine(model);
    ::setenv("BRISVANE_STANDIN_STEP_DELAY_MS", "20", 1);
    engine->startInputGeneration(request(model, "p", {{"width", 64}, {"height", 64}, {"steps", 100}}));
    EXPECT_EQ(firstEvent(*engine).type, "progress");
    engine->abortGeneration();
    const auto rest = drain(*engine);
    ASSERT_FALSE(rest.empty());
    EXPECT_EQ(rest.back().type, "cancelled");
    EXPECT_LT(rest.size(), 99u);
    EXPECT_TRUE(model.store.list().empty());
    // The engine runs the next job as usual.
    ::unsetenv("BRISVANE_STANDIN_STEP_DELAY_MS");
    EXPECT_EQ(run(*engine, request(model, "p", {{"width", 64}, {"height", 64}, {"steps", 1}})).back().type, "result");
}

// A model whose instance allows long jobs (the default limit is 100 steps).
MediaTestModel* longJobs(std::unique_ptr<MediaTestModel>& holder) {
    holder = std::make_unique<MediaTestModel>(nlohmann::json{{"version", "long"}}, nlohmann::json::object(),
                                              nlohmann::json{{"limits", {{"maxSteps", 1000}}}});
    return holder.get();
}

TEST_F(MediaJobs, OneJobAtATimeInsideTheLibrary) {
    std::unique_ptr<MediaTestModel> holder;
    MediaTestModel& first = *longJobs(holder);
    MediaTestModel second;
    auto busy = loadedEngine(first);
    auto waiting = loadedEngine(second);
    ::setenv("BRISVANE_STANDIN_STEP_DELAY_MS", "20", 1);
    busy->startInputGeneration(request(first, "a", {{"width", 64}, {"height", 64}, {"steps", 15}}));
    EXPECT_EQ(firstEvent(*busy).type, "progress");
    waiting->startInputGeneration(request(second, "b", {{"width", 64}, {"height", 64}, {"steps", 2}}));
    EXPECT_EQ(firstEvent(*waiting).type, "queued");
    const auto busyRest = drain(*busy);
    EXPECT_EQ(busyRest.back().type, "result");
    const auto waitingRest = drain(*waiting);
    ASSERT_EQ(waitingRest.size(), 3u);
    EXPECT_EQ(waitingRest[0].type, "progress");
    EXPECT_EQ(waitingRest.back().type, "result");

    // Cancelled while it waits: "queued", then "cancelled" without a library
    // call, long before the other job ends.
    busy->startInputGeneration(request(first, "a", {{"width", 64}, {"height", 64}, {"steps", 200}}));
    EXPECT_EQ(firstEvent(*busy).type, "progress");
    waiting->startInputGeneration(request(second, "b", {{"width", 64}, {"height", 64}, {"steps", 2}}));
    EXPECT_EQ(firstEvent(*waiting).type, "queued");
    waiting->abortGeneration();
    const auto cancelled = drain(*waiting);
    ASSERT_EQ(cancelled.size(), 1u);
    EXPECT_EQ(cancelled[0].type, "cancelled");
    EXPECT_EQ(cancelled[0].elapsedMs, 0);
    GenerationEvent event;
    EXPECT_TRUE(busy->fetchNextEvent(event));
    EXPECT_EQ(event.type, "progress") << "the other job still runs";
    busy->abortGeneration();
    EXPECT_EQ(drain(*busy).back().type, "cancelled");
}

// The lock covers a whole job: a job decodes its reference images only once
// it holds the lock, and lets it go only after its results are stored.
TEST_F(MediaJobs, TheMediaLockCoversDecodingGenerationAndStoring) {
    MediaTestModel model({}, {{"supportsRefImages", true}});
    auto engine = loadedEngine(model);
    model.put("bad.png", {'n', 'o', 'p', 'e'});
    GenerationInput bad = request(model, "p", {{"width", 64}, {"height", 64}, {"steps", 1}});
    bad.addFilePart("image", "reference", "bad.png");
    {
        // Another job is inside: this one waits before it reads its reference.
        std::unique_lock<std::mutex> other(mediaGenerationLock());
        engine->startInputGeneration(bad);
        EXPECT_EQ(firstEvent(*engine).type, "queued");
    }
    const auto events = drain(*engine);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, "error");
    EXPECT_EQ(events[0].data["message"], "cannot read image: bad.png");

    // Once the lock is free again, every image of the job that held it is
    // stored, not just generated.
    const size_t before = model.store.list().size();
    ::setenv("BRISVANE_STANDIN_STEP_DELAY_MS", "20", 1);
    engine->startInputGeneration(request(model, "p", {{"width", 512}, {"height", 512}, {"steps", 3}, {"count", 4}}));
    EXPECT_EQ(firstEvent(*engine).type, "progress");
    size_t storedWhenFree = 0;
    {
        std::unique_lock<std::mutex> next(mediaGenerationLock());
        storedWhenFree = model.store.list().size();
    }
    EXPECT_EQ(drain(*engine).back().type, "result");
    EXPECT_EQ(storedWhenFree, before + 4);
}

TEST_F(MediaJobs, UnloadAndDestructionEndARunningJob) {
    std::unique_ptr<MediaTestModel> holder;
    MediaTestModel& model = *longJobs(holder);
    auto engine = loadedEngine(model);
    ::setenv("BRISVANE_STANDIN_STEP_DELAY_MS", "20", 1);
    engine->startInputGeneration(request(model, "p", {{"width", 64}, {"height", 64}, {"steps", 500}}));
    EXPECT_EQ(firstEvent(*engine).type, "progress");
    const auto start = std::chrono::steady_clock::now();
    engine->unloadModel();
    EXPECT_FALSE(engine->loaded());
    EXPECT_EQ(drain(*engine).back().type, "cancelled");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

    auto doomed = loadedEngine(model);
    doomed->startInputGeneration(request(model, "p", {{"width", 64}, {"height", 64}, {"steps", 500}}));
    EXPECT_EQ(firstEvent(*doomed).type, "progress");
    doomed.reset();  // joins the worker; nothing is left running
    EXPECT_TRUE(model.store.list().empty());
}

nlohmann::json videoOptions() {
    return {{"width", 64}, {"height", 72}, {"frames", 6}, {"fps", 8}, {"steps", 2}, {"seed", 3}};
}

TEST_F(MediaJobs, VideoJobStoresOneWebmWithSound) {
    MediaTestModel model;
    auto engine = loadedEngine(model, "VIDEO");
    const auto events = run(*engine, request(model, "waves", videoOptions()));
    // Two progress events: the second sampling pass of the same total is not
    // forwarded once the job reached its last step.
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].type, "progress");
    EXPECT_EQ(events[1].step, 2);
    const GenerationEvent& result = events[2];
    ASSERT_EQ(result.type, "result");
    EXPECT_EQ(result.data, (nlohmann::json{{"seed", 3}, {"width", 64}, {"height", 72}, {"steps", 2}, {"frames", 6},
                                           {"fps", 8}, {"has_audio", true}}));
    ASSERT_EQ(result.files.size(), 1u);
    EXPECT_EQ(result.files[0].substr(result.files[0].size() - 5), ".webm");
    const ParsedWebm file = parseWebm(model.store.read(result.files[0], model.key));
    ASSERT_TRUE(file.ok);
    ASSERT_EQ(file.tracks.size(), 2u);
    EXPECT_EQ(file.tracks[1].codecId, "A_OPUS");
    EXPECT_EQ(blocksOf(file, file.tracks[0].number).size(), 6u);
}

TEST_F(MediaJobs, VideoFrameRateAndSoundVariants) {
    struct Case {
        const char* fps;      // what the library reports ("" = the requested rate)
        const char* audio;
        int32_t reportedFps;
        bool hasAudio;
        const char* codec;    // "" = no audio track
    } cases[] = {
        {"0", "mono", 8, true, "A_OPUS"},
        {"12", "stereo", 12, true, "A_OPUS"},
        {"", "3ch", 8, true, "A_PCM/INT/LIT"},
        {"", "none", 8, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.fps) + "/" + c.audio);
        if (*c.fps) {
            ::setenv("BRISVANE_STANDIN_FPS", c.fps, 1);
        } else {
            ::unsetenv("BRISVANE_STANDIN_FPS");
        }
        ::setenv("BRISVANE_STANDIN_AUDIO", c.audio, 1);
        MediaTestModel model;
        auto engine = loadedEngine(model, "VIDEO");
        const auto events = run(*engine, request(model, "waves", videoOptions()));
        const GenerationEvent& result = events.back();
        ASSERT_EQ(result.type, "result");
        EXPECT_EQ(result.data["fps"], c.reportedFps);
        EXPECT_EQ(result.data["has_audio"], c.hasAudio);
        const ParsedWebm file = parseWebm(model.store.read(result.files[0], model.key));
        ASSERT_TRUE(file.ok);
        EXPECT_DOUBLE_EQ(file.tracks[0].frameRate, c.reportedFps);
        if (*c.codec) {
            ASSERT_EQ(file.tracks.size(), 2u);
            EXPECT_EQ(file.tracks[1].codecId, c.codec);
        } else {
            EXPECT_EQ(file.tracks.size(), 1u);
        }
    }
}

TEST_F(MediaJobs, VideoLibraryFailures) {
    MediaTestModel model;
    auto engine = loadedEngine(model, "VIDEO");
    ::setenv("BRISVANE_STANDIN_FAIL", "empty", 1);
    EXPECT_EQ(run(*engine, request(model, "w", videoOptions())).back().data["message"],
              "video generation failed: empty result");
    ::setenv("BRISVANE_STANDIN_FAIL", "generate", 1);
    EXPECT_EQ(run(*engine, request(model, "w", videoOptions())).back().data["message"],
              "video generation failed: injected failure: generate");
    EXPECT_TRUE(model.store.list().empty());
}

}  // namespace
