// Loading a media model through the stand-in media library beside the test
// program: refusals with their texts, and what a load keeps (files,
// placement texts, generation defaults, limits, the model description).
#include <gtest/gtest.h>

#include <fstream>

#include "engine/mivrel_exception.h"
#include "media/media_engine.h"
#include "media/sd_library.h"
#include "media/media_test_model.h"

namespace {

class MediaEngineLoad : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SdLibrary::instance().loaded) << SdLibrary::instance().error;
    }
};

std::string loadFailure(MivrelMediaEngine& engine, const ModelLoadSettings& settings) {
    try {
        engine.loadModel(settings);
    } catch (const MivrelException& e) {
        EXPECT_EQ(e.code, MivrelErrorCode::LoadFailed) << e.message;
        EXPECT_FALSE(engine.loaded());
        return e.message;
    }
    return "(loaded)";
}

void writeFp8Safetensors(const std::string& path) {
    const std::string entry = R"({"format":"float8_e4m3fn"})";
    const std::string header =
        nlohmann::json{{"b.comfy_quant", {{"data_offsets", {0, entry.size()}}}}}.dump();
    std::ofstream out(path, std::ios::binary);
    for (int i = 0; i < 8; ++i) out.put(static_cast<char>((header.size() >> (8 * i)) & 0xFF));
    out << header << entry;
}

TEST_F(MediaEngineLoad, RefusalsNameWhatIsWrong) {
    MediaTestModel model;
    const std::string dir = model.dir.path();
    writeFp8Safetensors(model.dir.file("q.SafeTensors"));
    writeTextFile(model.dir.file("vae.gguf"), "vae");
    struct Case {
        const char* family;
        nlohmann::json props;   // replaces the model properties
        nlohmann::json params;
        std::string message;
    } cases[] = {
        {"IMAGE", nlohmann::json::object(), {}, "model properties.json has no files map (" + dir + ")"},
        {"IMAGE", {{"files", nlohmann::json::object()}}, {}, "model properties.json has no files map (" + dir + ")"},
        {"IMAGE", {{"files", "unet.gguf"}}, {}, "model properties.json has no files map (" + dir + ")"},
        {"IMAGE", {{"files", {{"unet", "unet.gguf"}}}}, {}, "unknown role in files map: unet"},
        {"IMAGE", {{"files", {{"vae", "../unet.gguf"}}}}, {}, "invalid file name in files.vae"},
        {"IMAGE", {{"files", {{"vae", 3}}}}, {}, "invalid file name in files.vae"},
        {"IMAGE", {{"files", {{"t5xxl", "t5.gguf"}}}}, {}, "model file not found (files.t5xxl): " + dir + "/t5.gguf"},
        {"IMAGE", {{"files", {{"diffusion_model", "q.SafeTensors"}}}}, {},
         "unsupported quantization format 'float8_e4m3fn' in files.diffusion_model (q.SafeTensors) \xE2\x80\x94 the "
         "media engine supports ComfyUI int8_tensorwise, convrot_w4a4 and asym_w4a8_int8 only; use a GGUF or int8 "
         "file"},
        {"IMAGE", {{"files", {{"diffusion_model", "unet.gguf"}}}}, {{"placement", {{"vae", "ram"}}}},
         "invalid placement.vae: \"ram\" (use auto, gpu, gpuN, cpu)"},
        {"IMAGE", {{"files", {{"diffusion_model", "unet.gguf"}}}}, {{"weights", 5}},
         "\"weights\" must be a string or an object (module -> device)"},
        {"IMAGE", {{"files", {{"vae", "vae.gguf"}}}}, {},
         "sd_ctx_create failed: no diffusion model given (diffusion_model_path or model_path) (status 3) (" + dir +
             ")"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        MivrelMediaEngine engine(c.family);
        ModelLoadSettings settings = model.settings;
        settings.modelProperties = c.props;
        settings.params = c.params.is_null() ? nlohmann::json::object() : c.params;
        EXPECT_EQ(loadFailure(engine, settings), c.message);
    }
}

TEST_F(MediaEngineLoad, FamilyTheModelCannotMakeLeavesNoContext) {
    MediaTestModel imagesOnly(nlohmann::json{{"video", false}});
    MivrelMediaEngine video("VIDEO");
    EXPECT_EQ(loadFailure(video, imagesOnly.settings), "model does not support VIDEO generation (image=1 video=0)");
    EXPECT_FALSE(video.getModelInfo().loaded);
    MivrelMediaEngine image("IMAGE");
    image.loadModel(imagesOnly.settings);
    EXPECT_TRUE(image.loaded());
}

TEST_F(MediaEngineLoad, KeepsFilesPlacementDefaultsAndLimits) {
    MediaTestModel model({{"version", "standin-xl"}},
                         {{"files", {{"diffusion_model", "unet.gguf"}, {"vae", "vae.gguf"}, {"llm_vision", "v.gguf"}}},
                          {"loadDefaults", {{"placement", "auto"}, {"weights", {{"*", "auto"}}}, {"max_vram", 7.5}}},
                          {"genDefaults", {{"width", 512}, {"steps", 4}, {"sampler", "heun"}, {"size_multiple", 16}}},
                          {"limits", {{"maxWidth", 64}}}},
                         {{"steps", 9}, {"fps", 12}, {"limits", {{"maxSteps", 12}}}, {"n_threads", 2}});
    writeTextFile(model.dir.file("vae.gguf"), std::string(100, 'v'));
    writeTextFile(model.dir.file("v.gguf"), std::string(10, 'c'));
    MivrelMediaEngine engine("IMAGE");
    engine.loadModel(model.settings);
    ASSERT_TRUE(engine.loaded());
    EXPECT_EQ(engine.roleFiles(), (std::map<std::string, std::string>{{"diffusion_model", model.dir.file("unet.gguf")},
                                                                      {"llm_vision", model.dir.file("v.gguf")},
                                                                      {"vae", model.dir.file("vae.gguf")}}));
    EXPECT_TRUE(engine.vision());
    EXPECT_EQ(engine.placement(), "");
    EXPECT_EQ(engine.weights(), "");
    EXPECT_EQ(engine.maxVram(), "7.5");
    EXPECT_EQ(engine.genDefaults(),
              (nlohmann::json{{"width", 512}, {"steps", 9}, {"sampler", "heun"}, {"size_multiple", 16}, {"fps", 12}}));
    EXPECT_EQ(engine.limits(), (nlohmann::json{{"maxSteps", 12}})) << "limits come from the instance only";

    const ModelInfo info = engine.getModelInfo();
    EXPECT_TRUE(info.loaded);
    EXPECT_EQ(info.description, "sd.cpp standin-xl (diffusion_model, llm_vision, vae)");
    EXPECT_EQ(info.sizeBytes, std::filesystem::file_size(model.dir.file("unet.gguf")) + 110);
    const ContextStats stats = engine.getContextStats();
    EXPECT_EQ(stats.nCtx + stats.nPast + stats.usedCells + stats.stateBytes, 0);

    engine.loadModel(model.settings);  // a second load only logs
    EXPECT_TRUE(engine.loaded());
    engine.unloadModel();
    EXPECT_FALSE(engine.getModelInfo().loaded);
    EXPECT_EQ(engine.getModelInfo().description, "");
    engine.unloadModel();
}

TEST_F(MediaEngineLoad, GenerationDefaultsMergeTheTenInstanceKeys) {
    struct Case {
        const char* name;
        nlohmann::json genDefaults;  // the model's, null for none
        nlohmann::json params;
        nlohmann::json merged;
        nlohmann::json limits;
    } cases[] = {
        {"nothing", nullptr, nlohmann::json::object(), nlohmann::json::object(), nlohmann::json::object()},
        {"not an object", "fast", {{"steps", 3}}, {{"steps", 3}}, nlohmann::json::object()},
        {"instance wins", {{"width", 512}, {"sampler", "heun"}}, {{"width", 768}, {"height", 640}},
         {{"width", 768}, {"height", 640}, {"sampler", "heun"}}, nlohmann::json::object()},
        {"all ten keys",
         nlohmann::json::object(),
         {{"width", 1}, {"height", 2}, {"steps", 3}, {"cfg_scale", 4.5}, {"sampler", "lcm"}, {"scheduler", "karras"},
          {"vae_tiling", true}, {"frames", 5}, {"fps", 6}, {"temporal_tiling", false}},
         {{"width", 1}, {"height", 2}, {"steps", 3}, {"cfg_scale", 4.5}, {"sampler", "lcm"}, {"scheduler", "karras"},
          {"vae_tiling", true}, {"frames", 5}, {"fps", 6}, {"temporal_tiling", false}},
         nlohmann::json::object()},
        {"other keys stay out", {{"seed", 1}}, {{"count", 2}, {"seed", 5}, {"limits", {{"maxCount", 2}}}},
         {{"seed", 1}}, {{"maxCount", 2}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        nlohmann::json props = {{"limits", {{"maxWidth", 1}}}};  // never read: limits are the instance's
        if (!c.genDefaults.is_null()) props["genDefaults"] = c.genDefaults;
        MediaTestModel model({}, props, c.params);
        MivrelMediaEngine engine("VIDEO");
        engine.loadModel(model.settings);
        EXPECT_EQ(engine.genDefaults(), c.merged);
        EXPECT_EQ(engine.limits(), c.limits);
    }
}

TEST_F(MediaEngineLoad, VisionEncoderLeftOutWithoutMultimodal) {
    MediaTestModel model({}, {{"files", {{"diffusion_model", "unet.gguf"}, {"clip_vision", "v.gguf"}}}},
                         {{"multimodal", false}});
    writeTextFile(model.dir.file("v.gguf"), "v");
    MivrelMediaEngine engine("IMAGE");
    engine.loadModel(model.settings);
    EXPECT_EQ(engine.roleFiles().count("clip_vision"), 0u);
    EXPECT_FALSE(engine.vision());
    // A "files" map with only a vision encoder, which is skipped: the library
    // decides, and it needs a diffusion model.
    MediaTestModel onlyVision({}, {{"files", {{"llm_vision", "v.gguf"}}}}, {{"multimodal", false}});
    writeTextFile(onlyVision.dir.file("v.gguf"), "v");
    MivrelMediaEngine other("IMAGE");
    EXPECT_NE(loadFailure(other, onlyVision.settings).find("no diffusion model given"), std::string::npos);
    EXPECT_TRUE(other.roleFiles().empty());
}

TEST_F(MediaEngineLoad, InputSchemaFromDefaultsAndLimits) {
    // Never loaded: the built-in values and no reference images.
    MivrelMediaEngine fresh("IMAGE");
    InputSchema schema = fresh.getInputSchema();
    ASSERT_EQ(schema.inputs.size(), 2u);
    std::vector<std::string> names;
    for (const OptionSpec& o : schema.options) names.push_back(o.name);
    EXPECT_EQ(names, (std::vector<std::string>{"width", "height", "steps", "cfg_scale", "seed", "sampler", "scheduler",
                                               "count", "vae_tiling"}));
    EXPECT_EQ(schema.options[0].defaultValue, 1024);
    EXPECT_EQ(schema.options[0].max, 2048);
    EXPECT_EQ(schema.options[0].multipleOf, 8);
    EXPECT_TRUE(schema.options[6].defaultValue.is_null()) << "no scheduler unless the model names one";
    EXPECT_EQ(schema.options[8].defaultValue, false);

    MediaTestModel model({}, {{"supportsRefImages", true}, {"genDefaults", {{"frames", 17}, {"scheduler", "karras"}}}},
                         {{"limits", {{"maxRefImages", 2}, {"maxFrames", 33}, {"maxWidth", 1000000}}}});
    MivrelMediaEngine video("VIDEO");
    video.loadModel(model.settings);
    schema = video.getInputSchema();
    std::vector<std::string> parts;
    for (const InputSpec& s : schema.inputs) parts.push_back(s.type + "/" + s.role + "/" + std::to_string(s.maxCount));
    EXPECT_EQ(parts, (std::vector<std::string>{"text/prompt/1", "text/negative/1", "image/reference/2", "image/init/1",
                                               "image/end/1"}));
    names.clear();
    for (const OptionSpec& o : schema.options) names.push_back(o.name);
    EXPECT_EQ(names, (std::vector<std::string>{"width", "height", "steps", "cfg_scale", "seed", "sampler", "scheduler",
                                               "vae_tiling", "frames", "fps", "temporal_tiling"}));
    EXPECT_EQ(schema.options[0].max, 16383) << "an instance limit cannot lift sizes beyond what a frame can hold";
    EXPECT_EQ(schema.options[6].defaultValue, "karras");
    EXPECT_EQ(schema.options[7].defaultValue, true);
    EXPECT_EQ(schema.options[8].defaultValue, 17);
    EXPECT_EQ(schema.options[8].max, 33);
    EXPECT_EQ(schema.options[9].defaultValue, 24);
    EXPECT_EQ(schema.options[9].max, 60);
}

}  // namespace
