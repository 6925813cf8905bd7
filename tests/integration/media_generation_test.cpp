// Image and video generation against the running server with the stand-in
// media library beside it: streamed and whole replies, stored PNG and WebM
// files (read back by ffprobe and decoded by ffmpeg), refusals, library
// failures, cancellation by stop and by a client that goes away, and a
// missing or incomplete media library.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "codec/png_image.h"
#include "instance_home.h"
#include "sse_events.h"
#include "support/test_paths.h"

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

// Writes the stand-in's model card as the model's only file.
void addMediaModel(InstanceHome& home, const std::string& modelId, const std::string& family,
                   const json& extra = json::object()) {
    json properties = {{"familyType", family}, {"files", {{"diffusion_model", "unet.gguf"}}}};
    properties.update(extra);
    home.addModel(modelId, "unet.gguf", "", properties);
    writeTextFile(home.dir().file("models/" + modelId + "/unet.gguf"), R"({"version":"standin-it"})");
}

class MediaGeneration : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = std::make_unique<InstanceHome>();
        addMediaModel(*home_, "pics", "IMAGE");
        addMediaModel(*home_, "seer", "IMAGE", {{"supportsRefImages", true}});
        addMediaModel(*home_, "clips", "VIDEO");
        home_->addModel("chat", "chat.gguf", "tiny-chat.gguf", {{"familyType", "LLM"}});
        home_->addInstance("img", "pics", {{"limits", {{"maxSteps", 1000}}}});
        home_->addInstance("eye", "seer");
        home_->addInstance("vid", "clips");
        home_->addInstance("txt", "chat");
    }

    bool start(const std::map<std::string, std::string>& env = {}) { return home_->start(env); }

    HttpReply generate(const std::string& id, const std::string& endpoint, const json& body) const {
        return home_->post("/v1/mivrel/" + id + "/" + endpoint, body.dump());
    }

    std::string download(const std::string& id, const std::string& reference) const {
        const HttpReply reply = home_->get("/v1/mivrel/" + id + "/" + reference);
        EXPECT_EQ(reply.status, 200) << reply.body;
        return reply.body;
    }

    RgbImage png(const std::string& id, const std::string& reference) const {
        const std::string bytes = download(id, reference);
        RgbImage image;
        std::string reason;
        EXPECT_TRUE(decodeImageRgb(std::vector<uint8_t>(bytes.begin(), bytes.end()), image, reason)) << reason;
        return image;
    }

    bool becomesIdle(const std::string& id) const { return home_->becomesIdle(id); }

    std::unique_ptr<InstanceHome> home_;
};

TEST_F(MediaGeneration, ImageStreamedAndWhole) {
    ASSERT_TRUE(start());
    const HttpReply streamed = generate(
        "img", "imageGenerate", {{"prompt", "a fox"}, {"stream", true}, {"width", 64}, {"height", 64}, {"steps", 3},
                                 {"seed", 1}});
    ASSERT_EQ(streamed.status, 200);
    EXPECT_EQ(streamed.header("Content-Type"), "text/event-stream");
    EXPECT_EQ(streamed.body.find("[DONE]"), std::string::npos);
    const std::vector<SseEvent> events = parseEvents(streamed.body);
    EXPECT_EQ(eventNames(events),
              (std::vector<std::string>{"mivrel.init_start", "mivrel.init_done", "generation.progress",
                                        "generation.progress", "generation.progress", "generation.result"}));
    ASSERT_EQ(events.size(), 6u);
    const size_t progress = streamed.body.find("event: generation.progress\ndata: ");
    ASSERT_NE(progress, std::string::npos);
    const std::string line = streamed.body.substr(progress, streamed.body.find('\n', progress + 30) - progress);
    EXPECT_TRUE(keysInOrder(line, {"mivrelId", "step", "steps", "elapsed_ms"})) << line;
    EXPECT_EQ(events[4].data["step"], 3);
    EXPECT_EQ(events[4].data["steps"], 3);
    const json& result = events[5].data;
    EXPECT_EQ(result["mivrelId"], "img");
    EXPECT_EQ(result["seed"], 1);
    ASSERT_EQ(result["files"].size(), 1u);
    const std::string first = result["files"][0];
    EXPECT_EQ(first.rfind("files/gen-", 0), 0u) << first;
    const RgbImage seedOne = png("img", first);
    EXPECT_EQ(seedOne.width, 64);

    const HttpReply whole = generate("img", "imageGenerate", {{"prompt", "a fox"}, {"width", 64}, {"height", 64},
                                                               {"steps", 3}, {"seed", 2}, {"count", 2}});
    ASSERT_EQ(whole.status, 200) << whole.body;
    EXPECT_TRUE(keysInOrder(whole.body, {"mivrelId", "files", "seed", "width", "height", "steps", "elapsed_ms", "method"}))
        << whole.body;
    const json document = bodyJson(whole);
    EXPECT_EQ(document["method"], "sd.cpp");
    EXPECT_FALSE(document.contains("mivrel_init")) << "loaded by the first request";
    EXPECT_FALSE(document.contains("frames"));
    ASSERT_EQ(document["files"].size(), 2u);
    EXPECT_NE(png("img", document["files"][0]).pixels, seedOne.pixels) << "another seed, another picture";
    EXPECT_TRUE(becomesIdle("img"));
}

TEST_F(MediaGeneration, RefusalsBeforeAndAfterTheLoad) {
    ASSERT_TRUE(start());
    struct Case {
        const char* id;
        const char* endpoint;
        std::string body;
        int status;
        const char* code;
        std::string message;
    } cases[] = {
        {"img", "imageGenerate", "{\"prompt\": ", 400, "bad_request", "Invalid JSON"},
        {"img", "imageGenerate", R"({"prompt":"p","stream":"yes"})", 400, "bad_request", "\"stream\" must be a boolean"},
        {"img", "imageGenerate", R"({"prompt":5})", 400, "bad_request", "\"prompt\" must be a string"},
        {"nobody", "imageGenerate", R"({"prompt":"p"})", 404, "mivrel_not_found", "Mivrel not found: nobody"},
        {"txt", "imageGenerate", R"({"prompt":"p"})", 400, "unsupported_mivrel_type",
         "imageGenerate is not supported by Mivrel 'txt' (familyType=LLM, supported: IMAGE)"},
        {"img", "videoGenerate", R"({"prompt":"p"})", 400, "unsupported_mivrel_type",
         "videoGenerate is not supported by Mivrel 'img' (familyType=IMAGE, supported: VIDEO)"},
        {"img", "imageGenerate", R"({"prompt":"p","ref_images":["files/a.png"]})", 400, "bad_request",
         "this Mivrel does not accept reference images (the model has no vision encoder and does not declare "
         "supportsRefImages)"},
        {"eye", "imageGenerate", R"({"prompt":"p","ref_images":["a","b","c","d","e"]})", 400, "bad_request",
         "too many reference images: 5 (max 4)"},
        {"eye", "imageGenerate", R"({"prompt":"p","ref_images":["files/x.png"]})", 404, "file_not_found",
         "input file not found: files/x.png"},
        {"img", "imageGenerate", R"({"prompt":"p","width":100})", 400, "bad_request",
         "\"width\" must be a multiple of 8"},
        {"img", "imageGenerate", R"({"prompt":"p","sampler":"bogus","width":64,"height":64})", 400, "bad_request",
         "unknown sampler: bogus"},
        {"img", "speechGenerate", R"({"text":"p"})", 400, "unsupported_mivrel_type",
         "speechGenerate is not supported by Mivrel 'img' (familyType=IMAGE, supported: AUDIO)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const HttpReply reply = home_->post(std::string("/v1/mivrel/") + c.id + "/" + c.endpoint, c.body);
        EXPECT_EQ(reply.status, c.status) << reply.body;
        const json error = bodyJson(reply)["error"];
        EXPECT_EQ(error["code"], c.code);
        EXPECT_EQ(error["message"], c.message);
    }
    // After the event-stream head, a refusal is an event and the stream ends.
    const HttpReply streamed =
        home_->post("/v1/mivrel/img/imageGenerate", R"({"prompt":"p","stream":true,"width":100})");
    const std::vector<SseEvent> events = parseEvents(streamed.body);
    ASSERT_FALSE(events.empty()) << streamed.body;
    EXPECT_EQ(events.back().name, "generation.error");
    EXPECT_EQ(events.back().data, (json{{"mivrelId", "img"}, {"code", "bad_request"},
                                        {"message", "\"width\" must be a multiple of 8"}}));
    EXPECT_TRUE(becomesIdle("img"));
}

TEST_F(MediaGeneration, InjectedLibraryFailure) {
    ASSERT_TRUE(start({{"BRISVANE_STANDIN_FAIL", "generate"}}));
    const json body = {{"prompt", "p"}, {"width", 64}, {"height", 64}, {"steps", 2}};
    const HttpReply whole = generate("img", "imageGenerate", body);
    EXPECT_EQ(whole.status, 500);
    EXPECT_EQ(bodyJson(whole)["error"]["code"], "internal_error");
    EXPECT_EQ(bodyJson(whole)["error"]["message"], "image generation failed: injected failure: generate");
    json streamBody = body;
    streamBody["stream"] = true;
    const std::vector<SseEvent> events = parseEvents(generate("img", "imageGenerate", streamBody).body);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().name, "generation.error");
    EXPECT_EQ(events.back().data, (json{{"mivrelId", "img"}, {"code", "internal_error"},
                                        {"message", "image generation failed: injected failure: generate"}}));
    EXPECT_TRUE(becomesIdle("img"));
    EXPECT_NE(home_->serverLog().find("[MediaEngine] 생성 실패: image generation failed: injected failure"),
              std::string::npos);
}

TEST_F(MediaGeneration, StopAndDisconnectCancelTheJob) {
    ASSERT_TRUE(start({{"BRISVANE_STANDIN_STEP_DELAY_MS", "40"}}));
    const std::string body = json{{"prompt", "slow"}, {"stream", true}, {"width", 64}, {"height", 64},
                                  {"steps", 500}}.dump();
    {
        OpenStream stream;
        ASSERT_TRUE(stream.open(home_->port(), "/v1/mivrel/img/imageGenerate", body));
        ASSERT_TRUE(stream.readUntil("event: generation.progress")) << stream.received();
        EXPECT_EQ(home_->post("/v1/mivrel/img/stop", "{}").status, 200);
        ASSERT_TRUE(stream.readUntil("\r\n0\r\n\r\n")) << stream.received();
        EXPECT_NE(stream.received().find("event: generation.cancelled\ndata: {\"mivrelId\":\"img\"}"),
                  std::string::npos);
        EXPECT_EQ(stream.received().find("generation.result"), std::string::npos);
    }
    EXPECT_TRUE(becomesIdle("img"));

    // A client that goes away cancels the job; the instance is free again.
    {
        OpenStream stream;
        ASSERT_TRUE(stream.open(home_->port(), "/v1/mivrel/img/imageGenerate", body));
        ASSERT_TRUE(stream.readUntil("event: generation.progress"));
        stream.reset();
    }
    EXPECT_TRUE(becomesIdle("img"));

    // Without streaming, a stopped job answers "cancelled".
    std::thread stopper([&] {
        for (int i = 0; i < 400; ++i) {
            if (bodyJson(home_->get("/v1/mivrel/img/status"))["status"] == "busy") break;
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        home_->post("/v1/mivrel/img/stop", "{}");
    });
    const HttpReply whole = home_->post("/v1/mivrel/img/imageGenerate",
                                        json{{"prompt", "slow"}, {"width", 64}, {"height", 64}, {"steps", 500}}.dump());
    stopper.join();
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(bodyJson(whole), (json{{"mivrelId", "img"}, {"status", "cancelled"}}));
    EXPECT_TRUE(bodyJson(home_->get("/v1/mivrel/img/files"))["files"].empty()) << "a cancelled job stores nothing";
}

// Runs a program and returns its exit code and output.
struct ToolOutput {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// The arguments are plain words and test paths (no quotes, no spaces).
ToolOutput runTool(const std::vector<std::string>& argv) {
    ToolOutput run;
    TempDir capture;
    std::string command;
    for (const std::string& arg : argv) command += arg + " ";
    command += "2> " + capture.file("err");
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return run;
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
    const int status = ::pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.err = readTextFile(capture.file("err"));
    return run;
}

bool haveTool(const char* name) {
    return fs::exists(std::string("/usr/bin/") + name) || fs::exists(std::string("/bin/") + name);
}

// ffprobe's view of a stored video: one JSON document with streams and format.
json probe(const std::string& path) {
    const ToolOutput run = runTool({"ffprobe", "-v", "error", "-count_frames", "-show_streams", "-show_format", "-of",
                             "json", path});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    return json::parse(run.out, nullptr, false);
}

const json* streamOfType(const json& probed, const char* type) {
    for (const json& s : probed["streams"]) {
        if (s["codec_type"] == type) return &s;
    }
    return nullptr;
}

TEST_F(MediaGeneration, VideoWithOpusAndPcmSound) {
    ASSERT_TRUE(haveTool("ffprobe") && haveTool("ffmpeg")) << "ffmpeg is installed by the test set-up (scripts/setup.sh)";
    const json body = {{"prompt", "waves"}, {"width", 64}, {"height", 72}, {"frames", 12}, {"fps", 8}, {"steps", 2}};
    struct Case {
        const char* audio;
        const char* codec;
        int channels;
        int rate;
    } cases[] = {{"mono", "opus", 1, 48000}, {"3ch", "pcm_s16le", 3, 44100}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.audio);
        SetUp();
        ASSERT_TRUE(start({{"BRISVANE_STANDIN_AUDIO", c.audio}}));
        const HttpReply reply = generate("vid", "videoGenerate", body);
        ASSERT_EQ(reply.status, 200) << reply.body;
        EXPECT_TRUE(keysInOrder(reply.body, {"mivrelId", "files", "seed", "width", "height", "steps", "frames", "fps",
                                             "has_audio", "elapsed_ms", "method", "mivrel_init"}))
            << reply.body;
        const json document = bodyJson(reply);
        EXPECT_EQ(document["frames"], 12);
        EXPECT_EQ(document["fps"], 8);
        EXPECT_EQ(document["has_audio"], true);
        EXPECT_EQ(document["mivrel_init"]["mivrelId"], "vid") << "the first request loaded the instance";
        ASSERT_EQ(document["files"].size(), 1u);
        const std::string path = home_->dir().file("video.webm");
        writeTextFile(path, download("vid", document["files"][0]));

        const json probed = probe(path);
        ASSERT_TRUE(probed.is_object());
        EXPECT_EQ(probed["format"]["format_name"], "matroska,webm");
        // The file lasts until its last block: frame 11 starts at 1.375 s and
        // the sound runs on to about 1.5 s.
        const double duration = std::stod(probed["format"]["duration"].get<std::string>());
        EXPECT_GE(duration, 1.37);
        EXPECT_LE(duration, 1.6);
        const json* video = streamOfType(probed, "video");
        ASSERT_NE(video, nullptr);
        EXPECT_EQ((*video)["codec_name"], "vp8");
        EXPECT_EQ((*video)["width"], 64);
        EXPECT_EQ((*video)["height"], 72);
        EXPECT_EQ((*video)["nb_read_frames"], "12");
        const json* audio = streamOfType(probed, "audio");
        ASSERT_NE(audio, nullptr);
        EXPECT_EQ((*audio)["codec_name"], c.codec);
        EXPECT_EQ((*audio)["channels"], c.channels);
        EXPECT_EQ((*audio)["sample_rate"], std::to_string(c.rate));
        const ToolOutput decode = runTool({"ffmpeg", "-v", "error", "-i", path, "-f", "null", "-"});
        EXPECT_EQ(decode.exitCode, 0);
        EXPECT_EQ(decode.err, "") << "decoding reports no errors";
        EXPECT_TRUE(home_->process().stop() == 0);
        home_.reset();
    }
}

// A copy of the server in a folder of its own, with `library` (if any)
// beside it as libstable-diffusion.so.
std::string serverCopy(const TempDir& dir, const std::string& library) {
    const std::string program = dir.file("brisvanesrv");
    fs::copy_file(brisvanesrvPath(), program);
    if (!library.empty()) fs::copy_file(library, dir.file("libstable-diffusion.so"));
    return program;
}

TEST_F(MediaGeneration, MissingOrIncompleteLibrary) {
    struct Case {
        const char* name;
        std::string library;
        std::string errorSuffix;
    } cases[] = {
        {"missing", "", "media engine library not found: "},
        {"incomplete", BRISVANE_INCOMPLETE_MEDIA_LIBRARY,
         "media engine library is missing functions: sd_result_get_fps (sd.cpp header/DLL version mismatch?)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        TempDir programDir;
        home_->useProgram(serverCopy(programDir, c.library));
        ASSERT_TRUE(start());
        const std::string expected = c.library.empty()
                                         ? c.errorSuffix + programDir.file("libstable-diffusion.so")
                                         : c.errorSuffix;
        // The event may be written just after the server starts answering.
        std::string events;
        for (int waited = 0; waited < 10000; waited += 50) {
            events = readTextFile(home_->dir().file("logs/events.jsonl"));
            if (events.find(json(expected).dump()) != std::string::npos) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_NE(events.find("\"text\":\"Media engine not loaded\""), std::string::npos) << events;
        EXPECT_NE(events.find(json(expected).dump()), std::string::npos) << events;
        const HttpReply reply = generate("img", "imageGenerate", {{"prompt", "p"}});
        EXPECT_EQ(reply.status, 500);
        EXPECT_EQ(bodyJson(reply)["error"]["code"], "mivrel_init_fail");
        EXPECT_EQ(bodyJson(reply)["error"]["message"],
                  "media engine (stable-diffusion.cpp) is not available: " + expected);
        EXPECT_TRUE(becomesIdle("img"));
        EXPECT_TRUE(home_->process().stop() == 0);
        home_.reset();
    }
}

}  // namespace
