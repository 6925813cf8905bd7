// A speech engine on the kit's tiny chat model with a scripted backend, a
// model folder holding a stand-in weights file, and a file store.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/mivrel_exception.h"
#include "fake_audio_gen_backend.h"
#include "speech/mivrel_audio_engine.h"
#include "storage/file_store.h"
#include "support/temp_dir.h"
#include "support/test_models.h"
#include "support/test_paths.h"

namespace speechtest {

// Keeps the inference libraries' own lines to errors.
inline void quietLibraryLogs() {
    auto onlyErrors = [](ggml_log_level level, const char* text, void*) {
        if (level == GGML_LOG_LEVEL_ERROR) std::fputs(text, stderr);
    };
    llama_log_set(onlyErrors, nullptr);
    mtmd_helper_log_set(onlyErrors, nullptr);
}

struct SpeechRig {
    TempDir dir;
    FileStore store;
    StorageKey key;
    std::shared_ptr<FakeAudioScript> script = std::make_shared<FakeAudioScript>();
    std::unique_ptr<MivrelAudioEngine> engine;

    explicit SpeechRig(bool encrypted = false, const std::string& token = "") {
        quietLibraryLogs();
        writeTextFile(dir.file("voice.gguf"), "stand-in weights");
        store.configure(dir.file("store/storage.kvx"), encrypted);
        key = store.open(token, true);
    }

    ModelLoadSettings settings() const {
        ModelLoadSettings s;
        s.placement = "cpu";
        s.nGpuLayers = 0;
        s.modelPath = testModelPath(testmodels::kTinyChatFile);
        s.modelDir = dir.path();
        s.modelProperties = {{"files", {{"mmproj", "voice.gguf"}}}};
        return s;
    }

    static ContextSettings context() {
        ContextSettings c;
        c.nCtx = 256;
        c.nBatch = 64;
        c.nUbatch = 64;
        c.nThreads = 2;
        c.nThreadsBatch = 2;
        return c;
    }

    MivrelAudioEngine& make() {
        engine = std::make_unique<MivrelAudioEngine>(fakeAudioGenLoader(script));
        engine->fileStore = &store;
        return *engine;
    }

    // A loaded engine with a context, from `s` (default settings()).
    MivrelAudioEngine& loaded(const ModelLoadSettings* s = nullptr) {
        make();
        engine->loadModel(s ? *s : settings());
        engine->initContext(context());
        return *engine;
    }

    GenerationInput input(const std::string& text, nlohmann::json options = nlohmann::json::object()) const {
        GenerationInput in;
        in.addTextPart("prompt", text);
        in.options = std::move(options);
        in.storeKey = key;
        return in;
    }

    // Every event of the current job, up to fetchNextEvent's false.
    std::vector<GenerationEvent> drain() {
        std::vector<GenerationEvent> events;
        GenerationEvent event;
        while (engine->fetchNextEvent(event)) events.push_back(event);
        return events;
    }
};

// Checks that `events` end with exactly one final event of `type` and
// returns it.
inline GenerationEvent finalEvent(const std::vector<GenerationEvent>& events, const std::string& type) {
    int finals = 0;
    for (const GenerationEvent& e : events) {
        if (e.type == "result" || e.type == "error" || e.type == "cancelled") ++finals;
    }
    EXPECT_EQ(finals, 1);
    if (events.empty()) {
        ADD_FAILURE() << "no events";
        return GenerationEvent{};
    }
    EXPECT_EQ(events.back().type, type) << events.back().data.dump();
    return events.back();
}

}  // namespace speechtest
