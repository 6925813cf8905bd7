// Instance creation over real files in a temporary home: every refusal with
// its status, code and message (and nothing written for any of them), the
// settings written for each model family, the registry entry, the
// registration with the manager, generated ids and concurrent creations.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <thread>

#include "config/data_folders.h"
#include "config/server_config.h"
#include "engine/engine_test_util.h"
#include "engine/mivrel_manager.h"
#include "engine/placement.h"
#include "mgmt/json_files.h"
#include "mgmt/mivrel_creation.h"
#include "support/file_size_limit.h"
#include "support/temp_dir.h"

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

class MivrelCreation : public ::testing::Test {
protected:
    void SetUp() override {
        ServerConfig::resetToDefaults();
        ServerConfig::DIR_MIVREL = home.file("mivrel");
        ServerConfig::DIR_MODELS = home.file("models");
        fs::create_directories(ServerConfig::DIR_MODELS);
        const json models = json::parse(R"({"models": [
            {"modelId": "llm", "name": "Chat", "filename": "chat.gguf", "downloadedAt": "2026-01-01T00:00:00Z"},
            {"modelId": "plain", "filename": "p.gguf", "downloadedAt": "2026-01-01T00:00:00Z"},
            {"modelId": "notdl", "filename": "n.gguf", "downloadedAt": ""},
            {"modelId": "nulldl", "filename": "n.gguf", "downloadedAt": null},
            {"modelId": "img", "filename": "i.gguf", "downloadedAt": "2026-01-01T00:00:00Z"},
            {"modelId": "aud", "filename": "a.gguf", "downloadedAt": "2026-01-01T00:00:00Z"},
            {"modelId": "aud2", "filename": "a.gguf", "downloadedAt": "2026-01-01T00:00:00Z"},
            {"modelId": "dec", "filename": "d.gguf", "downloadedAt": "2026-01-01T00:00:00Z"},
            {"modelId": "away", "filename": "w.gguf", "storagePath": ")" + home.file("store/away") +
                                     R"(", "downloadedAt": "2026-01-01T00:00:00Z"},
            {"modelId": "Qwen3-0.6B.Q8_0", "filename": "q.gguf", "downloadedAt": "2026-01-01T00:00:00Z"},
            {"modelId": "Qwen3 0.6B [Q8_0]", "filename": "q.gguf", "downloadedAt": "2026-01-01T00:00:00Z"},
            {"modelId": "../llm", "filename": "chat.gguf", "downloadedAt": "2026-01-01T00:00:00Z"}]})");
        saveJsonFile(home.file("models/models.json"), models);
        writeModel("llm", R"({"familyType": "LLM", "assembler": "qwen3", "n_ctx_size": 2048,
                              "genDefaults": {"temperature": 0.6, "seed": 7, "top_k": null}})");
        fs::create_directories(home.file("models/plain"));
        writeModel("img", R"({"familyType": "IMAGE", "assembler": "none"})");
        writeModel("aud", R"({"familyType": "AUDIO", "n_ctx_size": 16384})");
        writeModel("aud2", R"({"familyType": "AUDIO", "loadDefaults": {"n_ctx": 8192, "n_gpu_layers": 12}})");
        writeModel("dec", R"({"familyType": "DECISION", "genDefaults": {"min_p": 0.05, "think_budget": 100}})");
        fs::create_directories(home.file("store/away"));
        writeTextFile(home.file("store/away/properties.json"), R"({"familyType": "LLM", "assembler": "gemma4"})");
        mivrels = std::make_unique<MivrelManager>();
        mivrels->setDir(ServerConfig::DIR_MIVREL);
    }
    void TearDown() override {
        mivrels.reset();
        ServerConfig::resetToDefaults();
    }

    void writeModel(const std::string& id, const std::string& properties) {
        fs::create_directories(home.file("models/" + id));
        writeTextFile(home.file("models/" + id + "/properties.json"), properties);
    }

    json instanceProperties(const std::string& id) {
        return loadJsonFile(home.file("mivrel/" + id + "/properties.json"));
    }

    // createMivrel in the configured folders with this fixture's manager.
    CreateMivrelResult create(const json& request) {
        return createMivrel(configuredDataFolders(), mivrels.get(), request);
    }

    TempDir home;
    std::unique_ptr<MivrelManager> mivrels;
};

TEST_F(MivrelCreation, RefusalsWriteNothing) {
    std::string placementMessage, weightsMessage;
    ASSERT_FALSE(validatePlacementSettings(json{{"placement", "tpu"}}, "LLM", placementMessage));
    ASSERT_FALSE(validatePlacementSettings(json{{"weights", "ram"}}, "LLM", weightsMessage));
    const std::string idRule = " must match [A-Za-z0-9._-]{1,128} and must not be \".\" or \"..\"";
    const std::string required = "mivrelId / name / modelId 는 필수 항목입니다.";
    const std::string modelIdRule =
        "\"modelId\" must name a folder inside the models folder: no \"/\" or \"\\\", not \".\" or \"..\", not a drive "
        "or absolute path, at most 255 bytes";
    const struct {
        json request;
        int status;
        const char* code;
        std::string message;
    } cases[] = {
        {json::object(), 400, "bad_request", required},
        {{{"mivrelId", "a"}, {"modelId", "llm"}}, 400, "bad_request", required},
        {{{"mivrelId", "a"}, {"name", ""}, {"modelId", "llm"}}, 400, "bad_request", required},
        {{{"name", "A"}, {"modelId", "llm"}}, 400, "bad_request", required},
        {{{"mivrelId", "a"}, {"name", "A"}}, 400, "bad_request", required},
        {{{"mivrelId", "../evil"}, {"name", "A"}, {"modelId", "llm"}}, 400, "bad_request", "\"mivrelId\"" + idRule},
        {{{"mivrelId", ".."}, {"name", "A"}, {"modelId", "llm"}}, 400, "bad_request", "\"mivrelId\"" + idRule},
        {{{"mivrelId", "."}, {"name", "A"}, {"modelId", "llm"}}, 400, "bad_request", "\"mivrelId\"" + idRule},
        {{{"mivrelId", "a b"}, {"name", "A"}, {"modelId", "llm"}}, 400, "bad_request", "\"mivrelId\"" + idRule},
        {{{"mivrelId", std::string(129, 'x')}, {"name", "A"}, {"modelId", "llm"}}, 400, "bad_request",
         "\"mivrelId\"" + idRule},
        {{{"mivrelId", "a"}, {"name", "A"}, {"modelId", "../llm"}}, 400, "bad_request", modelIdRule},
        {{{"mivrelId", "a"}, {"name", std::string(257, 'n')}, {"modelId", "llm"}}, 400, "bad_request",
         "\"name\" must be at most 256 bytes"},
        {{{"mivrelId", "a"}, {"name", "A"}, {"modelId", "llm"}, {"description", std::string(4097, 'd')}}, 400,
         "bad_request", "\"description\" must be at most 4096 bytes"},
        // What creation copies from the request keeps the limits of every
        // stored document.
        {{{"mivrelId", "a"}, {"name", "A"}, {"modelId", "aud"}, {"voice", json(std::vector<std::string>(2000, "v"))}},
         400, "bad_request", "\"voice\" must hold at most 1024 items"},
        {{{"mivrelId", "a"}, {"name", "A"}, {"modelId", "img"}, {"sampler", std::string(5000, 's')}}, 400,
         "bad_request", "\"sampler\" must be at most 4096 bytes"},
        {{{"mivrelId", "a"}, {"name", "A"}, {"modelId", "ghost"}}, 404, "model_not_found",
         "등록되지 않은 modelId: ghost"},
        {{{"mivrelId", "a"}, {"name", "A"}, {"modelId", "notdl"}}, 409, "model_not_downloaded",
         "모델이 다운로드되지 않았습니다: notdl"},
        {{{"mivrelId", "a"}, {"name", "A"}, {"modelId", "nulldl"}}, 409, "model_not_downloaded",
         "모델이 다운로드되지 않았습니다: nulldl"},
        {{{"mivrelId", "a"}, {"name", "A"}, {"modelId", "llm"}, {"placement", "tpu"}}, 400, "bad_request",
         placementMessage},
        {{{"mivrelId", "a"}, {"name", "A"}, {"modelId", "llm"}, {"weights", "ram"}}, 400, "bad_request",
         weightsMessage},
        {{{"mivrelId", "a"}, {"name", "A"}, {"modelId", "llm"}, {"n_ctx", 100}}, 400, "bad_request",
         "\"n_ctx\" must be an integer >= 512"},
        {{{"mivrelId", "a"}, {"name", "A"}, {"modelId", "aud"}, {"n_gpu_layers", "all"}}, 400, "bad_request",
         "\"n_gpu_layers\" must be an integer >= -1"},
        {{{"mivrelId", "a"}, {"name", "A"}, {"modelId", "llm"}, {"seed", 4294967295LL}}, 400, "bad_request",
         "\"seed\" must be an integer between -1 and 4294967294"},
        {{{"mivrelId", "a"}, {"name", "A"}, {"modelId", "llm"}, {"multimodal", "yes"}}, 400, "bad_request",
         "\"multimodal\" must be a boolean"},
        {{{"mivrelId", "a"}, {"name", "A"}, {"modelId", "img"}, {"multimodal", nullptr}}, 400, "bad_request",
         "\"multimodal\" must be a boolean"},
        {{{"mivrelId", "a"}, {"name", "A"}, {"modelId", "llm"}, {"enable_storage_encryption", "true"}}, 400,
         "bad_request", "\"enable_storage_encryption\" must be a boolean"},
        {{{"mivrelId", "a"}, {"name", "A"}, {"modelId", "llm"}, {"truncate_storage_on_unload", 1}}, 400,
         "bad_request", "\"truncate_storage_on_unload\" must be a boolean"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request.dump());
        const CreateMivrelResult result = create(c.request);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.httpStatus, c.status);
        EXPECT_EQ(result.errorCode, c.code);
        EXPECT_EQ(result.errorMessage, c.message);
        EXPECT_FALSE(fs::exists(home.file("mivrel"))) << "nothing is written before every check passed";
        EXPECT_TRUE(mivrels->snapshotMivrels().empty());
    }
    // At the limits the strings are stored whole.
    const CreateMivrelResult atLimits = create(
        {{"mivrelId", "a"}, {"name", std::string(256, 'n')}, {"modelId", "llm"}, {"description", std::string(4096, 'd')}});
    ASSERT_TRUE(atLimits.ok) << atLimits.errorMessage;
    EXPECT_EQ(atLimits.name.size(), 256u);
    EXPECT_EQ(atLimits.description.size(), 4096u);
}

TEST_F(MivrelCreation, AModelIdIsJoinedToTheModelsFolderOnlyUnderTheIdRule) {
    // An id that keeps the id rule names its folder below the models folder.
    writeModel("Qwen3-0.6B.Q8_0", R"({"familyType": "LLM", "assembler": "qwen3"})");
    const CreateMivrelResult made = create({{"mivrelId", "q"}, {"name", "Q"}, {"modelId", "Qwen3-0.6B.Q8_0"}});
    ASSERT_TRUE(made.ok) << made.errorMessage;
    EXPECT_EQ(instanceProperties("q")["modelId"], "Qwen3-0.6B.Q8_0");
    const std::shared_ptr<Mivrel> mivrel = mivrels->find("q");
    ASSERT_NE(mivrel, nullptr);
    EXPECT_EQ(mivrel->config.modelPath, home.file("models/Qwen3-0.6B.Q8_0") + "/q.gguf");
    EXPECT_EQ(mivrel->config.loadSettings.assembler, "qwen3");

    // A hand-edited models.json may list ids that break the rule; such an id
    // is never joined to a folder, so the model is not found.
    writeModel("Qwen3 0.6B [Q8_0]", R"({"familyType": "LLM", "assembler": "qwen3"})");
    const CreateMivrelResult listedButBroken =
        create({{"mivrelId", "b"}, {"name", "B"}, {"modelId", "Qwen3 0.6B [Q8_0]"}});
    EXPECT_FALSE(listedButBroken.ok);
    EXPECT_EQ(listedButBroken.httpStatus, 404);
    EXPECT_EQ(listedButBroken.errorCode, "model_not_found");
    EXPECT_EQ(mivrels->find("b"), nullptr);

    // Ids that would lead out of the models folder are refused as requests.
    const std::string outside[] = {"../llm", "..", ".", "a/b", "a\\b", "/abs", "C:x", std::string(256, 'm'),
                                   std::string("a\0b", 3)};
    for (const std::string& modelId : outside) {
        SCOPED_TRACE(modelId);
        const CreateMivrelResult refused =
            create({{"mivrelId", "r"}, {"name", "R"}, {"modelId", modelId}});
        EXPECT_FALSE(refused.ok);
        EXPECT_EQ(refused.httpStatus, 400);
        EXPECT_EQ(refused.errorCode, "bad_request");
    }
    EXPECT_EQ(mivrels->find("r"), nullptr);
}

TEST_F(MivrelCreation, WrongTypedFieldsThrowBeforeWriting) {
    for (const char* body : {R"({"mivrelId":"a","name":5,"modelId":"llm"})",
                             R"({"mivrelId":"a","name":"A","modelId":"llm","description":7})", R"([1])"}) {
        SCOPED_TRACE(body);
        EXPECT_THROW(create(json::parse(body)), json::type_error);
        EXPECT_FALSE(fs::exists(home.file("mivrel")));
    }
}

TEST_F(MivrelCreation, TextModelSettingsAndRegistration) {
    LogCapture log;
    const CreateMivrelResult result = create(json::parse(R"({
        "mivrelId": "chat-1", "name": "My chat", "modelId": "llm", "description": "d",
        "n_ctx": 8192, "placement": "gpu1", "top_p": 0.5, "flash_attn": "on", "cache_type_k": null,
        "truncate_storage_on_unload": true, "unknown_key": 1})"));
    ASSERT_TRUE(result.ok) << result.errorMessage;
    EXPECT_EQ(result.mivrelId, "chat-1");
    EXPECT_EQ(result.name, "My chat");
    EXPECT_EQ(result.description, "d");
    const json expected = json::parse(R"({
        "mivrelId": "chat-1", "name": "My chat", "description": "d", "type": "local", "modelId": "llm",
        "placement": "gpu1", "n_gpu_layers": 999, "n_ctx": 2048, "n_batch": 1024, "n_ubatch": 512,
        "offload_kv": true, "n_predict": 8192, "temperature": 0.6, "top_k": 30, "top_p": 0.5,
        "repeat_penalty": 1.1, "repeat_last_n": 64, "seed": 7, "flash_attn": "on", "multimodal": true,
        "truncate_storage_on_unload": true})");
    EXPECT_EQ(result.properties, expected);
    EXPECT_EQ(instanceProperties("chat-1"), expected);
    EXPECT_EQ(readTextFile(home.file("mivrel/chat-1/properties.json")), expected.dump(2)) << "sorted, indent 2";
    EXPECT_TRUE(log.contains("[mivrel] 생성: n_ctx 8192 → 2048 (모델 n_ctx_size 상한)"));
    EXPECT_TRUE(log.contains("[mivrel] 생성: 샘플링 temperature=0.6 top_k=30 top_p=0.5 "));
    EXPECT_TRUE(log.contains("[mivrel] 생성: chat-1 (familyType=LLM, assembler=qwen3)"));

    const std::string registryText = readTextFile(home.file("mivrel/mivrel.json"));
    const json registry = json::parse(registryText);
    ASSERT_EQ(registry["mivrelList"].size(), 1u);
    EXPECT_EQ(registry["mivrelList"][0]["mivrelId"], "chat-1");
    EXPECT_TRUE(std::regex_match(registry["mivrelList"][0]["createdAt"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
    EXPECT_EQ(registryText, registry.dump(2));

    const std::shared_ptr<Mivrel> mivrel = mivrels->find("chat-1");
    ASSERT_NE(mivrel, nullptr);
    EXPECT_EQ(mivrel->state.load(), kMivrelIdle);
    EXPECT_FALSE(mivrel->hasEngine());
    const MivrelConfig& config = mivrel->config;
    EXPECT_EQ(config.type, "local");
    EXPECT_EQ(config.familyType, "LLM");
    EXPECT_EQ(config.modelPath, home.file("models/llm") + "/chat.gguf");
    EXPECT_EQ(config.loadSettings.modelPath, config.modelPath);
    EXPECT_EQ(config.loadSettings.modelDir, home.file("models/llm"));
    EXPECT_EQ(config.loadSettings.assembler, "qwen3");
    EXPECT_EQ(config.loadSettings.params, expected);
    EXPECT_EQ(config.loadSettings.modelProperties["n_ctx_size"], 2048);
    EXPECT_EQ(config.loadSettings.nGpuLayers, 999);
    EXPECT_EQ(config.contextSettings.nCtx, 2048);
    EXPECT_FLOAT_EQ(config.contextSettings.temperature, 0.6f);
    EXPECT_EQ(config.contextSettings.seed, 7);
    EXPECT_TRUE(mivrel->fileStore.truncateOnUnload());
    EXPECT_EQ(mivrel->fileStore.path(), home.file("mivrel") + "/chat-1/storage.kvx");

    const CreateMivrelResult again =
        create(json{{"mivrelId", "chat-1"}, {"name", "Other"}, {"modelId", "plain"}});
    EXPECT_FALSE(again.ok);
    EXPECT_EQ(again.httpStatus, 409);
    EXPECT_EQ(again.errorCode, "mivrel_already_exists");
    EXPECT_EQ(again.errorMessage, "이미 존재하는 mivrelId: chat-1");
    EXPECT_EQ(instanceProperties("chat-1"), expected) << "the first instance is untouched";
}

TEST_F(MivrelCreation, GpuLayerDefaultFollowsPlacement) {
    const struct {
        json placement;
        int layers;
    } cases[] = {{nullptr, 20}, {"gpu", 999}, {"gpu1", 999}, {" CPU ", 0}, {"auto", 20}, {{{"*", "cpu"}}, 0}};
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.placement.dump());
        json request = {{"mivrelId", "p" + std::to_string(n++)}, {"name", "P"}, {"modelId", "plain"}};
        if (!c.placement.is_null()) request["placement"] = c.placement;
        const CreateMivrelResult result = create(request);
        ASSERT_TRUE(result.ok) << result.errorMessage;
        EXPECT_EQ(result.properties["n_gpu_layers"], c.layers);
        EXPECT_EQ(result.properties.contains("placement"), !c.placement.is_null());
    }
    // An explicit count wins over the placement's default.
    const CreateMivrelResult own = create(
        json{{"mivrelId", "own"}, {"name", "P"}, {"modelId", "plain"}, {"placement", "gpu"}, {"n_gpu_layers", 5}});
    EXPECT_EQ(own.properties["n_gpu_layers"], 5);
}

TEST_F(MivrelCreation, ModelWithoutPropertiesIsAnLlmWithDefaults) {
    LogCapture log;
    const CreateMivrelResult result =
        create(json{{"mivrelId", "x"}, {"name", "X"}, {"modelId", "plain"}});
    ASSERT_TRUE(result.ok);
    EXPECT_TRUE(log.contains("[mivrel] model properties.json 읽기 실패: plain → assembler=default, familyType=LLM"));
    EXPECT_EQ(result.properties["temperature"], 0.8);
    EXPECT_EQ(result.properties["top_k"], 30);
    EXPECT_EQ(result.properties["n_ctx"], 4096);
    EXPECT_FALSE(result.properties.contains("seed"));
    EXPECT_FALSE(result.properties.contains("min_p"));
    const std::shared_ptr<Mivrel> mivrel = mivrels->find("x");
    ASSERT_NE(mivrel, nullptr);
    EXPECT_EQ(mivrel->config.loadSettings.assembler, "default");
    EXPECT_EQ(mivrel->config.loadSettings.modelDir, "") << "no folder without a readable properties.json";
}

TEST_F(MivrelCreation, DecisionModelTakesGenDefaults) {
    const CreateMivrelResult result = create(
        json{{"mivrelId", "d"}, {"name", "D"}, {"modelId", "dec"}, {"temperature", 0.2}, {"min_p", nullptr}});
    ASSERT_TRUE(result.ok) << result.errorMessage;
    EXPECT_EQ(result.properties["temperature"], 0.2);
    EXPECT_EQ(result.properties["min_p"], 0.05) << "a null request value falls back to the model";
    EXPECT_EQ(result.properties["think_budget"], 100);
    EXPECT_EQ(mivrels->find("d")->config.familyType, "DECISION");
}

TEST_F(MivrelCreation, StoragePathOfARegisteredFolder) {
    const CreateMivrelResult result =
        create(json{{"mivrelId", "w"}, {"name", "W"}, {"modelId", "away"}});
    ASSERT_TRUE(result.ok) << result.errorMessage;
    const MivrelConfig& config = mivrels->find("w")->config;
    EXPECT_EQ(config.modelPath, home.file("store/away") + "/w.gguf");
    EXPECT_EQ(config.loadSettings.assembler, "gemma4");
}

TEST_F(MivrelCreation, MediaModelCopiesItsKeysAsGiven) {
    const CreateMivrelResult result = create(json::parse(R"({
        "mivrelId": "im", "name": "I", "modelId": "img", "steps": null, "width": 768, "weights": {"vae": "ram"},
        "limits": {"maxImages": 2}, "n_ctx": 5, "temperature": 1, "multimodal": false,
        "enable_storage_encryption": true})"));
    ASSERT_TRUE(result.ok) << result.errorMessage;
    EXPECT_EQ(result.properties, json::parse(R"({
        "mivrelId": "im", "name": "I", "description": "", "type": "local", "modelId": "img",
        "steps": null, "width": 768, "weights": {"vae": "ram"}, "limits": {"maxImages": 2},
        "multimodal": false, "enable_storage_encryption": true})"));
    EXPECT_EQ(mivrels->find("im")->config.familyType, "IMAGE");
    EXPECT_TRUE(mivrels->find("im")->fileStore.encryptedConfigured());
}

TEST_F(MivrelCreation, AudioModelSettings) {
    const CreateMivrelResult plain = create(
        json{{"mivrelId", "a1"}, {"name", "A"}, {"modelId", "aud"}, {"voice", nullptr}, {"lang", "ko"}});
    ASSERT_TRUE(plain.ok) << plain.errorMessage;
    EXPECT_EQ(plain.properties, json::parse(R"({
        "mivrelId": "a1", "name": "A", "description": "", "type": "local", "modelId": "aud",
        "n_ctx": 16384, "n_gpu_layers": 999, "lang": "ko", "multimodal": true})"));

    const CreateMivrelResult fromModel =
        create(json{{"mivrelId", "a2"}, {"name", "A"}, {"modelId", "aud2"}});
    EXPECT_EQ(fromModel.properties["n_ctx"], 8192);
    EXPECT_EQ(fromModel.properties["n_gpu_layers"], 12);

    const CreateMivrelResult cpu = create(
        json{{"mivrelId", "a3"}, {"name", "A"}, {"modelId", "aud2"}, {"placement", "cpu"}, {"n_ctx", nullptr}});
    EXPECT_EQ(cpu.properties["n_gpu_layers"], 0);
    EXPECT_EQ(cpu.properties["placement"], "cpu");
    EXPECT_EQ(cpu.properties["n_ctx"], 8192);
}

TEST_F(MivrelCreation, BrokenRegistryIsRefusedAndKept) {
    fs::create_directories(home.file("mivrel"));
    // The last one holds a value nested far deeper than a stack survives when
    // it is copied or written back.
    const std::string deep = "{\"mivrelList\": [], \"x\": " + std::string(100000, '[') + std::string(100000, ']') + "}";
    for (const std::string& text : {std::string("{\"mivrelList\": ["), std::string("[]"),
                                    std::string("{\"mivrelList\": {}}"), deep}) {
        SCOPED_TRACE(text.substr(0, 40));
        writeTextFile(home.file("mivrel/mivrel.json"), text);
        const CreateMivrelResult result =
            create(json{{"mivrelId", "n"}, {"name", "N"}, {"modelId", "llm"}});
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.httpStatus, 500);
        EXPECT_EQ(result.errorCode, "internal_error");
        EXPECT_EQ(result.errorMessage.rfind("mivrel.json 읽기 실패: ", 0), 0u) << result.errorMessage;
        EXPECT_EQ(readTextFile(home.file("mivrel/mivrel.json")), text) << "never overwritten";
        EXPECT_FALSE(fs::exists(home.file("mivrel/n")));
    }
    // A registry with comments and foreign entries keeps them all.
    writeTextFile(home.file("mivrel/mivrel.json"), "// mine\n{\"mivrelList\": [5, {\"mivrelId\": \"old\"}], \"x\": 1}");
    ASSERT_TRUE(create(json{{"mivrelId", "n"}, {"name", "N"}, {"modelId", "llm"}}).ok);
    const json after = loadJsonFile(home.file("mivrel/mivrel.json"));
    EXPECT_EQ(after["x"], 1);
    ASSERT_EQ(after["mivrelList"].size(), 3u);
    EXPECT_EQ(after["mivrelList"][1]["mivrelId"], "old");
    EXPECT_EQ(after["mivrelList"][2]["mivrelId"], "n");
    EXPECT_EQ(create(json{{"mivrelId", "old"}, {"name", "N"}, {"modelId", "llm"}}).errorCode,
              "mivrel_already_exists");
}

TEST_F(MivrelCreation, UnreadableModelRegistryIs500) {
    fs::remove(home.file("models/models.json"));
    const CreateMivrelResult missing =
        create(json{{"mivrelId", "n"}, {"name", "N"}, {"modelId", "llm"}});
    EXPECT_EQ(missing.httpStatus, 500);
    EXPECT_EQ(missing.errorCode, "internal_error");
    EXPECT_EQ(missing.errorMessage, "Unable to open file: " + home.file("models") + "/models.json");
    EXPECT_FALSE(fs::exists(home.file("mivrel")));
}

TEST_F(MivrelCreation, WriteFailuresAre500) {
    // A file where the instance's folder would go.
    fs::create_directories(home.file("mivrel"));
    writeTextFile(home.file("mivrel/blocked"), "");
    const CreateMivrelResult blocked =
        create(json{{"mivrelId", "blocked"}, {"name", "B"}, {"modelId", "llm"}});
    EXPECT_EQ(blocked.httpStatus, 500);
    EXPECT_EQ(blocked.errorMessage.rfind("properties.json 생성 실패: ", 0), 0u) << blocked.errorMessage;
    EXPECT_FALSE(fs::exists(home.file("mivrel/mivrel.json")));
    EXPECT_EQ(mivrels->find("blocked"), nullptr);
}

// A disk that fills during a creation leaves no half-made instance folder,
// whichever of the two files fails, and the registry as it was.
TEST_F(MivrelCreation, AFullDiskLeavesNoInstanceFolder) {
    ASSERT_TRUE(create(json{{"mivrelId", "first"}, {"name", "A"}, {"modelId", "llm"}}).ok);
    const uint64_t properties = fs::file_size(home.file("mivrel/first/properties.json"));
    // A registry larger than any properties file, so a limit can sit between.
    json registry = loadJsonFile(home.file("mivrel/mivrel.json"));
    registry["note"] = std::string(properties + 4000, 'n');
    saveJsonFile(home.file("mivrel/mivrel.json"), registry);
    const std::string before = readTextFile(home.file("mivrel/mivrel.json"));
    const struct {
        const char* what;
        uint64_t limit;
        const char* message;
    } cases[] = {
        {"properties.json", 16, "properties.json 생성 실패: "},
        {"mivrel.json", properties + 2000, "mivrel.json 쓰기 실패: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CreateMivrelResult result;
        {
            FileSizeLimit full(c.limit);
            result = create(json{{"mivrelId", "later"}, {"name", "A"}, {"modelId", "llm"}});
        }
        EXPECT_EQ(result.httpStatus, 500);
        EXPECT_EQ(result.errorMessage.rfind(c.message, 0), 0u) << result.errorMessage;
        EXPECT_FALSE(fs::exists(home.file("mivrel/later")));
        EXPECT_EQ(readTextFile(home.file("mivrel/mivrel.json")), before);
        EXPECT_EQ(mivrels->find("later"), nullptr);
        EXPECT_TRUE(fs::exists(home.file("mivrel/first/properties.json")));
    }
}

TEST_F(MivrelCreation, ConcurrentCreationsKeepEveryEntry) {
    constexpr int kThreads = 6;
    constexpr int kEach = 4;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < kEach; ++i) {
                const std::string id = "c" + std::to_string(t) + "-" + std::to_string(i);
                EXPECT_TRUE(
                    create(json{{"mivrelId", id}, {"name", "C"}, {"modelId", "plain"}}).ok);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    const json registry = loadJsonFile(home.file("mivrel/mivrel.json"));
    EXPECT_EQ(registry["mivrelList"].size(), static_cast<size_t>(kThreads * kEach));
    EXPECT_EQ(mivrels->snapshotMivrels().size(), static_cast<size_t>(kThreads * kEach));
}

TEST(MivrelIds, GeneratedIdsAreSixHexBytes) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const std::string id = generateMivrelId();
        EXPECT_TRUE(std::regex_match(id, std::regex("mivrel-[0-9a-f]{12}"))) << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 200u);
    std::string other;
    std::thread([&] { other = generateMivrelId(); }).join();
    EXPECT_EQ(seen.count(other), 0u) << "each thread has its own generator";
}

}  // namespace
