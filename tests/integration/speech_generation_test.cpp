// Speech generation against the running server, its speech engine on the
// scripted stand-in backend (BRISVANE_SPEECH_STANDIN) and the kit's tiny
// chat model as the text model: loading (kinds, voices, the default voice
// fallback, the clone flag) as the status and model endpoints show it, the
// input schema, streamed and whole replies with the stored WAV against a
// golden file, voice cloning from plain and encrypted stores, cancellation,
// backend failures, the flat request body, and the family gate.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "instance_home.h"
#include "sse_events.h"
#include "support/golden_wav.h"
#include "support/http_client.h"
#include "support/test_models.h"

namespace {

using json = nlohmann::json;

// What the stand-in backend of `modelId` plays, written as its weights file.
void addSpeechModel(InstanceHome& home, const std::string& modelId, const json& script,
                    const json& extra = json::object()) {
    json properties = {{"familyType", "AUDIO"}, {"files", {{"model", "model.gguf"}, {"mmproj", "speech.gguf"}}}};
    properties.update(extra);
    home.addModel(modelId, "model.gguf", testmodels::kTinyChatFile, properties);
    writeTextFile(home.dir().file("models/" + modelId + "/speech.gguf"), script.dump());
}

// Three frames and a flush whose samples cover the conversion's cases: half
// steps round away from zero, out-of-range values clamp, NaN and infinities
// become silence.
const json kVoiceScript = {
    {"kind", 1},
    {"sample_rate", 16000},
    {"channels", 2},
    {"variant", "tiny"},
    {"voices", {"alba", "bruno"}},
    {"clone", true},
    {"frames", 3},
    {"frame_samples", {{0.5, -0.5, 1.0, -1.0}, {0.25, -0.25, 1.5, -2.0}, {"nan", "inf", "-inf", 0}}},
    {"flush_samples", {0.1, -0.1}}};

const std::vector<uint8_t> kGoldenWav =
    golden::wav16(16000, 2, {16384, -16384, 32767, -32767, 8192, -8192, 32767, -32767, 0, 0, 0, 0, 3277, -3277});

// A recording as the stand-in decodes it: anything that begins with "RIFF".
const std::string kRecording = std::string("RIFF") + std::string(40, '\x01');

HeaderList withToken(const std::string& token, HeaderList headers = {}) {
    if (!token.empty()) headers.emplace_back("Authorization", "Bearer " + token);
    return headers;
}

class SpeechGeneration : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = std::make_unique<InstanceHome>();
        addSpeechModel(*home_, "voice", kVoiceScript, {{"genDefaults", {{"seed", 7}}}});
        addSpeechModel(*home_, "plain", {{"kind", 7}, {"sample_rate", 24000}, {"frames", 2},
                                         {"frame_samples", {{0.5}}}});
        addSpeechModel(*home_, "endless",
                       {{"kind", 2}, {"endless", true}, {"frame_delay_ms", 20}, {"frame_samples", {{0.25, 0.5}}}});
        addSpeechModel(*home_, "broken", {{"kind", 1}, {"fail_frame_at", 1}, {"frame_samples", {{0.5}}}});
        addSpeechModel(*home_, "stiff", {{"kind", 1}, {"set_input_result", 2}});
        addSpeechModel(*home_, "mute", {{"kind", 0}});
        home_->addModel("chat", "chat.gguf", testmodels::kTinyChatFile, {{"familyType", "LLM"}});
        // An instance voice the weights do not offer falls back to the first.
        home_->addInstance("talk", "voice", {{"voice", "zed"}, {"limits", {{"maxSeconds", 90.7}}}});
        home_->addInstance("locked", "voice", {{"enable_storage_encryption", true}});
        home_->addInstance("flat", "plain");
        home_->addInstance("slow", "endless");
        home_->addInstance("bad", "broken");
        home_->addInstance("odd", "stiff");
        home_->addInstance("none", "mute");
        home_->addInstance("txt", "chat");
    }

    bool start() { return home_->start({{"BRISVANE_SPEECH_STANDIN", "1"}}, {"--verbose"}); }

    HttpReply speak(const std::string& id, const std::string& body, const std::string& token = "") const {
        return httpRequest(home_->port(), "POST", "/v1/mivrel/" + id + "/speechGenerate",
                           withToken(token, {{"Content-Type", "application/json"}}), body);
    }

    std::string upload(const std::string& id, const std::string& bytes, const std::string& token = "") const {
        const HttpReply reply = httpRequest(home_->port(), "POST", "/v1/mivrel/" + id + "/files",
                                            withToken(token, {{"Content-Type", "audio/wav"}}), bytes);
        EXPECT_EQ(reply.status, 200) << reply.body;
        return bodyJson(reply).value("file", "");
    }

    std::vector<uint8_t> download(const std::string& id, const std::string& reference,
                                  const std::string& token = "") const {
        const HttpReply reply =
            httpRequest(home_->port(), "GET", "/v1/mivrel/" + id + "/" + reference, withToken(token));
        EXPECT_EQ(reply.status, 200) << reply.body;
        return std::vector<uint8_t>(reply.body.begin(), reply.body.end());
    }

    json storedFiles(const std::string& id) const {
        return bodyJson(home_->get("/v1/mivrel/" + id + "/files"))["files"];
    }

    std::unique_ptr<InstanceHome> home_;
};

TEST_F(SpeechGeneration, StreamedAndWholeStoreTheGoldenWav) {
    ASSERT_TRUE(start());
    const HttpReply streamed = speak("talk", R"({"text":"Hello there","stream":true,"seed":42})");
    ASSERT_EQ(streamed.status, 200);
    EXPECT_EQ(streamed.header("Content-Type"), "text/event-stream");
    EXPECT_EQ(streamed.body.find("[DONE]"), std::string::npos);
    const std::vector<SseEvent> events = parseEvents(streamed.body);
    ASSERT_EQ(eventNames(events),
              (std::vector<std::string>{"mivrel.init_start", "mivrel.init_done", "generation.result"}))
        << streamed.body;
    // The init payload carries the speech engine's voices, clone flag and rate.
    EXPECT_EQ(events[1].data["voices"], json({"alba", "bruno"}));
    EXPECT_EQ(events[1].data["voice_clone"], true);
    EXPECT_EQ(events[1].data["sample_rate"], 16000);

    const size_t at = streamed.body.find("event: generation.result\ndata: ");
    const std::string line = streamed.body.substr(at, streamed.body.find('\n', at + 30) - at);
    EXPECT_TRUE(keysInOrder(line, {"mivrelId", "files", "voice", "seed", "sample_rate", "channels", "duration_sec",
                                   "frames", "truncated", "elapsed_ms"}))
        << line;
    const json& result = events[2].data;
    EXPECT_EQ(result["voice"], "alba") << "the instance's unknown voice fell back to the first";
    EXPECT_FALSE(result.contains("speaker_ref"));
    EXPECT_EQ(result["seed"], 42);
    EXPECT_EQ(result["sample_rate"], 16000);
    EXPECT_EQ(result["channels"], 2);
    EXPECT_EQ(result["frames"], 3);
    EXPECT_EQ(result["truncated"], false);
    ASSERT_EQ(result["files"].size(), 1u);
    const std::string first = result["files"][0];
    EXPECT_EQ(first.rfind("files/gen-", 0), 0u) << first;
    EXPECT_EQ(first.substr(first.size() - 4), ".wav");
    EXPECT_EQ(download("talk", first), kGoldenWav);

    // Whole: the same document with the method; the model's default seed
    // fills the missing option.
    const HttpReply whole = speak("talk", R"({"text":"Hello again","voice":"bruno"})");
    ASSERT_EQ(whole.status, 200) << whole.body;
    EXPECT_EQ(whole.header("Content-Type"), "application/json");
    EXPECT_TRUE(keysInOrder(whole.body, {"mivrelId", "files", "voice", "seed", "sample_rate", "channels",
                                         "duration_sec", "frames", "truncated", "elapsed_ms", "method"}))
        << whole.body;
    const json document = bodyJson(whole);
    EXPECT_EQ(document["method"], "llama.cpp");
    EXPECT_FALSE(document.contains("mivrel_init")) << "loaded by the first request";
    EXPECT_EQ(document["voice"], "bruno");
    EXPECT_EQ(document["seed"], 7);
    ASSERT_EQ(document["files"].size(), 1u);
    EXPECT_NE(document["files"][0], first);
    EXPECT_EQ(download("talk", document["files"][0]), kGoldenWav);
    EXPECT_TRUE(home_->becomesIdle("talk"));

    const std::string log = home_->serverLog();
    EXPECT_NE(log.find("[AudioEngine] 기본 목소리 'zed' 가 모델에 없음 \xE2\x86\x92 'alba'"), std::string::npos) << log;
    EXPECT_NE(log.find("voice=bruno speaker_ref=- seed=7 temp=-1.00 speed=1.00 loudness=0.0 max_seconds=90"),
              std::string::npos)
        << "the schema's defaults reach the job";
}

TEST_F(SpeechGeneration, LoadedEngineAsStatusAndModelInfoShowIt) {
    ASSERT_TRUE(start());
    struct Case {
        const char* id;
        json speech;  // the whole capabilities object
    } cases[] = {
        {"talk",
         {{"model_type", "qwen3tts"}, {"voices", {"alba", "bruno"}}, {"default_voice", "alba"}, {"voice_clone", true},
          {"sample_rate", 16000}, {"channels", 2}, {"max_seconds", 90}}},
        // Weights without voices: an empty list and no default; the zonos3
        // kind's frame limit lowers the reported seconds.
        {"flat",
         {{"model_type", "zonos3"}, {"voices", json::array()}, {"default_voice", nullptr}, {"voice_clone", false},
          {"sample_rate", 24000}, {"channels", 1}, {"max_seconds", 245}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        const json before = bodyJson(home_->get(std::string("/v1/mivrel/") + c.id + "/status"));
        EXPECT_EQ(before["loaded"], false);
        EXPECT_FALSE(before.contains("voices"));
        ASSERT_EQ(speak(c.id, R"({"text":"load me"})").status, 200);

        const json status = bodyJson(home_->get(std::string("/v1/mivrel/") + c.id + "/status"));
        EXPECT_EQ(status["loaded"], true);
        EXPECT_EQ(status["status"], "idle");
        for (const char* key : {"voices", "default_voice", "voice_clone", "sample_rate"}) {
            EXPECT_EQ(status[key], c.speech[key]) << key;
        }
        EXPECT_FALSE(status.contains("model_type"));
        const json info = bodyJson(home_->get(std::string("/v1/mivrel/") + c.id + "/modelInfo"));
        EXPECT_EQ(info["familyType"], "AUDIO");
        EXPECT_EQ(info["capabilities"]["api"], "speechGenerate");
        EXPECT_EQ(info["speech"], c.speech);
    }
    const std::string log = home_->serverLog();
    EXPECT_NE(log.find("[AudioEngine] 음성 생성 가중치 로드 완료: type=qwen3tts variant=tiny sample_rate=16000 "
                       "channels=2 voices=2 default_voice=alba voice_clone=true"),
              std::string::npos)
        << log;
}

TEST_F(SpeechGeneration, VoiceCloneFromPlainAndEncryptedStores) {
    ASSERT_TRUE(start());
    const std::string token = "speech-secret";
    struct Case {
        const char* id;
        std::string token;
    } cases[] = {{"talk", ""}, {"locked", token}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        const std::string reference = upload(c.id, kRecording, c.token);
        ASSERT_EQ(reference.rfind("files/", 0), 0u);
        const json body = {{"text", "Say it like me"}, {"speaker_ref", reference}, {"speaker_ref_text", "words"}};
        const HttpReply reply = speak(c.id, body.dump(), c.token);
        ASSERT_EQ(reply.status, 200) << reply.body;
        const json document = bodyJson(reply);
        EXPECT_EQ(document["speaker_ref"], reference);
        EXPECT_FALSE(document.contains("voice"));
        EXPECT_EQ(download(c.id, document["files"][0], c.token), kGoldenWav);
        // The bare stored name names the same file.
        const json bare = {{"text", "Again"}, {"speaker_ref", reference.substr(6)}};
        EXPECT_EQ(bodyJson(speak(c.id, bare.dump(), c.token))["speaker_ref"], reference);
    }
    // An encrypted store needs the client's key for the reference and the result.
    const std::string reference = upload("locked", kRecording, token);
    const json body = {{"text", "Say it"}, {"speaker_ref", reference}};
    const HttpReply keyless = speak("locked", body.dump());
    EXPECT_EQ(keyless.status, 401) << keyless.body;
    EXPECT_EQ(bodyJson(keyless)["error"]["code"], "storage_key_required");
    const HttpReply wrongKey = speak("locked", body.dump(), "another-key");
    EXPECT_EQ(wrongKey.status, 403) << wrongKey.body;
    EXPECT_EQ(bodyJson(wrongKey)["error"]["code"], "storage_key_mismatch");

    // A stored file that is no recording, and the clone refused by weights
    // without it, are refused before any job runs.
    const std::string picture = upload("talk", "\x89PNG not a recording");
    struct Refusal {
        const char* id;
        std::string body;
        int status;
        std::string message;
    } refusals[] = {
        {"talk", json{{"text", "x"}, {"speaker_ref", picture}}.dump(), 400,
         "cannot read speaker_ref as audio (use wav, mp3 or flac): " + picture},
        {"talk", R"({"text":"x","speaker_ref":"files/absent.wav"})", 404, "input file not found: files/absent.wav"},
        {"flat", json{{"text", "x"}, {"speaker_ref", upload("flat", kRecording)}}.dump(), 400,
         "this Mivrel does not accept audio/reference input"},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.message);
        const HttpReply reply = speak(r.id, r.body);
        EXPECT_EQ(reply.status, r.status) << reply.body;
        EXPECT_EQ(bodyJson(reply)["error"]["message"], r.message);
        EXPECT_TRUE(home_->becomesIdle(r.id));
    }
}

TEST_F(SpeechGeneration, StopAndDisconnectCancelTheJob) {
    ASSERT_TRUE(start());
    const std::string body = R"({"text":"on and on","stream":true})";
    {
        OpenStream stream;
        ASSERT_TRUE(stream.open(home_->port(), "/v1/mivrel/slow/speechGenerate", body));
        ASSERT_TRUE(stream.readUntil("event: generation.progress")) << stream.received();
        EXPECT_EQ(home_->post("/v1/mivrel/slow/stop", "{}").status, 200);
        ASSERT_TRUE(stream.readUntil("\r\n0\r\n\r\n")) << stream.received();
        const std::vector<SseEvent> events = parseEvents(stream.received());
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back().name, "generation.cancelled");
        EXPECT_EQ(events.back().data, json({{"mivrelId", "slow"}}));
        // Speech progress: frames and seconds of audio, never steps.
        const size_t at = stream.received().find("event: generation.progress\ndata: ");
        const std::string line = stream.received().substr(at, stream.received().find('\n', at + 30) - at);
        EXPECT_TRUE(keysInOrder(line, {"mivrelId", "frames", "audio_sec", "elapsed_ms"})) << line;
        EXPECT_EQ(line.find("\"step\""), std::string::npos);
        EXPECT_EQ(stream.received().find("generation.result"), std::string::npos);
    }
    EXPECT_TRUE(home_->becomesIdle("slow"));

    // A client that goes away cancels the job; the instance is free again.
    {
        OpenStream stream;
        ASSERT_TRUE(stream.open(home_->port(), "/v1/mivrel/slow/speechGenerate", body));
        ASSERT_TRUE(stream.readUntil("event: generation.progress"));
        stream.reset();
    }
    EXPECT_TRUE(home_->becomesIdle("slow"));

    // Without streaming, a stopped job answers "cancelled".
    std::thread stopper([&] {
        for (int i = 0; i < 400; ++i) {
            if (bodyJson(home_->get("/v1/mivrel/slow/status"))["status"] == "busy") break;
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        home_->post("/v1/mivrel/slow/stop", "{}");
    });
    const HttpReply whole = speak("slow", R"({"text":"on and on"})");
    stopper.join();
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(bodyJson(whole), (json{{"mivrelId", "slow"}, {"status", "cancelled"}}));
    EXPECT_TRUE(storedFiles("slow").empty()) << "a cancelled job stores nothing";
}

TEST_F(SpeechGeneration, BackendFailures) {
    ASSERT_TRUE(start());
    const HttpReply whole = speak("bad", R"({"text":"break"})");
    EXPECT_EQ(whole.status, 500);
    EXPECT_EQ(bodyJson(whole)["error"]["code"], "internal_error");
    EXPECT_EQ(bodyJson(whole)["error"]["message"], "audio frame generation failed at frame 1");
    const std::vector<SseEvent> events = parseEvents(speak("bad", R"({"text":"break","stream":true})").body);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().name, "generation.error");
    EXPECT_EQ(events.back().data, (json{{"mivrelId", "bad"}, {"code", "internal_error"},
                                        {"message", "audio frame generation failed at frame 1"}}));
    EXPECT_TRUE(home_->becomesIdle("bad"));
    EXPECT_TRUE(storedFiles("bad").empty());
    EXPECT_NE(home_->serverLog().find("[AudioEngine] 생성 실패: audio frame generation failed at frame 1"),
              std::string::npos);

    // The generator refusing the input is the client's problem; weights
    // without audio generation do not load.
    const HttpReply refused = speak("odd", R"({"text":"loud","loudness":-6})");
    EXPECT_EQ(refused.status, 400) << refused.body;
    EXPECT_EQ(bodyJson(refused)["error"]["message"],
              "this model does not support the given speed / loudness (use speed 1.0 and loudness 0)");
    EXPECT_TRUE(home_->becomesIdle("odd"));
    const HttpReply unloadable = speak("none", R"({"text":"hi"})");
    EXPECT_EQ(unloadable.status, 500) << unloadable.body;
    EXPECT_EQ(bodyJson(unloadable)["error"]["code"], "mivrel_init_fail");
    const std::string message = bodyJson(unloadable)["error"]["message"];
    EXPECT_EQ(message.rfind("files.mmproj does not support audio generation: ", 0), 0u) << message;
    EXPECT_NE(message.find("models/mute/speech.gguf"), std::string::npos) << message;
}

// The flat body: every key, null values, sorted-order precedence, unknown
// keys (also inside the general form's options), and the general "parts"
// form, each seen through the reply it leads to.
TEST_F(SpeechGeneration, RequestBodies) {
    ASSERT_TRUE(start());
    const std::string reference = upload("talk", kRecording);
    struct Case {
        std::string body;
        int status;
        std::string message;  // the error message, or for 200 the result's voice ("" for none)
    } cases[] = {
        {R"({"text":"hi"})", 200, "alba"},
        {R"({"text":"hi","voice":"bruno","lang":"ko","speed":1.5,"loudness":-3,"temperature":0.7,"seed":5,)"
         R"("max_seconds":30,"stream":false})",
         200, "bruno"},
        {R"({"text":"hi","voice":null,"stream":null,"speaker_ref":")" + reference + R"("})", 200, ""},
        {R"({"parts":[{"type":"text","role":"prompt","text":"hi"}],"options":{"voice":"bruno"}})", 200, "bruno"},
        {R"({"parts":[{"type":"text","role":"prompt","text":"hi"},{"type":"audio","role":"reference","file":")" +
             reference + R"("}],"voice":"bruno"})",
         400, "\"voice\" and \"speaker_ref\" cannot be used together"},
        {R"({"text":"hi","pitch":1})", 400, "unknown field: \"pitch\""},
        {R"({"aaa":1,"text":5})", 400, "unknown field: \"aaa\""},
        {R"({"text":"hi","Voice":"alba"})", 400, "unknown field: \"Voice\""},
        // The general form passes unchanged; the schema refuses what it does not declare.
        {R"({"parts":[{"type":"text","role":"prompt","text":"hi"}],"options":{"pitch":2}})", 400,
         "unknown option: \"pitch\""},
        {R"({"parts":[{"type":"text","role":"prompt","text":"hi"}],"pitch":2})", 400, "unknown option: \"pitch\""},
        {R"({"text":5})", 400, "\"text\" must be a string"},
        {R"({"text":5,"speaker_ref":5})", 400,
         "\"speaker_ref\" must be a file reference string (\"files/<name>\")"},
        {R"({"text":"hi","speaker_ref_text":5})", 400, "\"speaker_ref_text\" must be a string"},
        {R"({"voice":"alba"})", 400, "\"text\" is required"},
        {R"({"text":""})", 400, "\"text\" is required"},
        {R"({"text":"hi","voice":"alba","speaker_ref":")" + reference + R"("})", 400,
         "\"voice\" and \"speaker_ref\" cannot be used together"},
        {R"([1,2])", 400, "request body must be a JSON object"},
        {R"({"text":"hi","stream":"yes"})", 400, "\"stream\" must be a boolean"},
        // The general form skips the flat rules; the schema still wants the text.
        {R"({"parts":[]})", 400, "text/prompt input is required (\"prompt\")"},
        // The schema after the load, the engine after the schema.
        {R"({"text":"hi","speed":5})", 400, "\"speed\" must be <= 4.0"},
        {R"({"text":"hi","loudness":1})", 400, "\"loudness\" must be <= 0.0"},
        {R"({"text":"hi","temperature":-1})", 400, "\"temperature\" must be >= 0.0"},
        {R"({"text":"hi","seed":1.5})", 400, "\"seed\" must be an integer"},
        {R"({"text":"hi","max_seconds":91})", 400, "\"max_seconds\" must be <= 90.0"},
        {R"({"text":"hi","lang":5})", 400, "\"lang\" must be a string"},
        {R"({"text":" \n "})", 400, "\"text\" must not be empty"},
        {R"({"text":"hi","voice":"nobody"})", 400, "unknown voice \"nobody\" (available: alba, bruno)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        const HttpReply reply = speak("talk", c.body);
        ASSERT_EQ(reply.status, c.status) << reply.body;
        const json document = bodyJson(reply);
        if (c.status == 200) {
            if (c.message.empty()) {
                EXPECT_FALSE(document.contains("voice")) << reply.body;
                EXPECT_EQ(document["speaker_ref"], reference);
            } else {
                EXPECT_EQ(document["voice"], c.message);
            }
        } else {
            EXPECT_EQ(document["error"]["code"], "bad_request");
            EXPECT_EQ(document["error"]["message"], c.message);
        }
    }
    // Streamed, the schema's refusal of an undeclared option comes as the
    // stream's error event.
    const HttpReply streamed =
        speak("talk", R"({"parts":[{"type":"text","role":"prompt","text":"hi"}],"pitch":2,"stream":true})");
    ASSERT_EQ(streamed.status, 200) << streamed.body;
    const std::vector<SseEvent> events = parseEvents(streamed.body);
    ASSERT_FALSE(events.empty()) << streamed.body;
    EXPECT_EQ(events.back().name, "generation.error");
    EXPECT_EQ(events.back().data,
              (json{{"mivrelId", "talk"}, {"code", "bad_request"}, {"message", "unknown option: \"pitch\""}}));
    EXPECT_TRUE(home_->becomesIdle("talk"));
    EXPECT_NE(home_->serverLog().find("voice=bruno speaker_ref=- seed=5 temp=0.70 speed=1.50 loudness=-3.0 "
                                      "max_seconds=30"),
              std::string::npos);
}

TEST_F(SpeechGeneration, FamilyGate) {
    ASSERT_TRUE(start());
    const HttpReply reply = speak("txt", R"({"text":"hi"})");
    EXPECT_EQ(reply.status, 400);
    EXPECT_EQ(bodyJson(reply)["error"]["code"], "unsupported_mivrel_type");
    EXPECT_EQ(bodyJson(reply)["error"]["message"],
              "speechGenerate is not supported by Mivrel 'txt' (familyType=LLM, supported: AUDIO)");
    // The flat body is checked before the instance: an unknown key wins.
    EXPECT_EQ(bodyJson(speak("txt", R"({"text":"hi","pitch":1})"))["error"]["message"], "unknown field: \"pitch\"");
    EXPECT_EQ(bodyJson(speak("nobody", R"({"text":"hi"})"))["error"]["code"], "mivrel_not_found");
    EXPECT_EQ(bodyJson(home_->get("/v1/mivrel/txt/status"))["loaded"], false);
}

// Without the stand-in switch the release's multimodal library loads the
// weights: the AUDIO family is served, and a file that is no GGUF fails the
// load with the loader's message.
TEST_F(SpeechGeneration, WithoutTheStandInTheReleaseLoadsTheWeights) {
    ASSERT_TRUE(home_->start());
    const HttpReply reply = speak("talk", R"({"text":"hi"})");
    EXPECT_EQ(reply.status, 500) << reply.body;
    EXPECT_EQ(bodyJson(reply)["error"]["code"], "mivrel_init_fail");
    const std::string message = bodyJson(reply)["error"]["message"];
    EXPECT_EQ(message.rfind("failed to load files.mmproj: ", 0), 0u) << message;
    EXPECT_NE(message.find("models/voice/speech.gguf"), std::string::npos) << message;
    EXPECT_TRUE(home_->becomesIdle("talk"));
}

}  // namespace
