// Image, video and speech requests turned into a GenerationInput: both request
// forms, file references, option precedence, and the schema validation with
// its defaults and every message.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine/generation_input.h"
#include "engine/mivrel_exception.h"

namespace {

using nlohmann::json;

std::string parseError(const json& body, const std::vector<std::string>& skip = {"stream"}) {
    try {
        parseGenerationInput(body, skip);
    } catch (const GenerationInputError& e) {
        return e.what();
    }
    return "(no error)";
}

std::string describe(const GenerationInput& input) {
    std::string out;
    for (const InputPart& p : input.parts) out += p.type + "/" + p.role + ":" + p.text + p.file + ";";
    return out;
}

TEST(GenerationInputParse, SimpleFormPartOrderAndOptions) {
    const json body = json::parse(R"({
        "ref_videos": ["v.webm"], "mask_image": "files/m.png", "ref_images": ["a.png", "files/b.png"],
        "init_image": {"type": "image", "source": {"type": "file", "file": "files/i.png"}},
        "negative_prompt": "blur", "prompt": "a cat", "end_image": null, "ref_audios": [],
        "stream": true, "width": 512, "options": {"steps": 20, "cfg": 7, "seed": 1}, "seed": 9, "cfg": 3,
        "zeta": null})");
    const GenerationInput input = parseGenerationInput(body, {"stream"});
    // Prompt, negative prompt, then the file keys in table order.
    EXPECT_EQ(describe(input),
              "text/prompt:a cat;text/negative:blur;image/reference:a.png;image/reference:files/b.png;"
              "image/init:files/i.png;image/mask:files/m.png;video/reference:v.webm;");
    // Key order decides: "cfg" < "options" < "seed"; nulls are stored; "stream" skipped.
    EXPECT_EQ(input.options, json::parse(R"({"cfg":7,"seed":9,"steps":20,"width":512,"zeta":null})"));
    EXPECT_EQ(input.textOfRole("prompt"), "a cat");
    EXPECT_EQ(input.textOfRole("mask"), "");
    EXPECT_EQ(input.filesOfType("image", "reference"), (std::vector<std::string>{"a.png", "files/b.png"}));
    EXPECT_FALSE(input.storeKey.valid);
}

TEST(GenerationInputParse, PartsFormKeepsArrayOrderAndOptionsWin) {
    const json body = json::parse(R"({
        "parts": [{"type": "image", "role": "init", "file": "files/x.png"},
                  {"type": "text", "role": "prompt", "text": "go"},
                  {"type": "weird", "role": "any", "file": "y"}],
        "options": {"steps": 4}, "steps": 99, "width": 64, "stream": false})");
    const GenerationInput input = parseGenerationInput(body, {"stream"});
    EXPECT_EQ(describe(input), "image/init:files/x.png;text/prompt:go;weird/any:y;");
    EXPECT_EQ(input.options, json::parse(R"({"steps":4,"width":64})"));
}

TEST(GenerationInputParse, PromptOnlyWithStreamAndWidth) {
    const GenerationInput input = parseGenerationInput(json::parse(R"({"prompt":"p","stream":true,"width":8})"),
                                                       {"stream"});
    ASSERT_EQ(input.parts.size(), 1u);
    EXPECT_EQ(input.options, json::parse(R"({"width":8})"));
    // A null prompt adds no part.
    EXPECT_TRUE(parseGenerationInput(json::parse(R"({"prompt":null})"), {}).parts.empty());
}

TEST(GenerationInputParse, Errors) {
    const std::string fileRefTail = "\" must be a file reference (\"files/<name>\" or a file block)";
    const struct {
        const char* body;
        std::string message;
    } cases[] = {
        {R"([1])", "request body must be a JSON object"},
        {R"("text")", "request body must be a JSON object"},
        {R"({"parts": null})", "\"parts\" must be an array"},
        {R"({"parts": [], "prompt": null})", "\"parts\" cannot be combined with simple key (\"prompt\")"},
        {R"({"parts": {}, "ref_images": 1})", "\"parts\" cannot be combined with simple key (\"ref_images\")"},
        {R"({"parts": [{"type":"text","role":"prompt","text":"a"}, 5]})", "each part must be an object"},
        {R"({"parts": [{"type":"text","text":"a"}]})", "\"parts[].role\" must be a string"},
        {R"({"parts": [{"role":"prompt","text":"a"}]})", "\"parts[].type\" must be a string"},
        {R"({"parts": [{"type":"text","role":"prompt","file":"a"}]})", "\"parts[].text\" must be a string"},
        {R"({"parts": [{"type":"image","role":"init","file":{"source":{"type":"file","file":"a"}}}]})",
         "\"parts[].file\" must be a string"},
        {R"({"parts": [], "options": 3})", "\"options\" must be an object"},
        {R"({"options": []})", "\"options\" must be an object"},
        {R"({"prompt": 5})", "\"prompt\" must be a string"},
        {R"({"negative_prompt": true})", "\"negative_prompt\" must be a string"},
        {R"({"ref_images": "a.png"})", "\"ref_images\" must be an array of file names"},
        {R"({"ref_images": ["a.png", 3]})", "\"ref_images" + fileRefTail},
        {R"({"init_image": {"source": {"type": "url", "file": "a"}}})", "\"init_image" + fileRefTail},
        {R"({"mask_image": {"source": {"type": "file"}}})", "\"mask_image" + fileRefTail},
        {R"({"ref_audios": [{}]})", "\"ref_audios" + fileRefTail},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        EXPECT_EQ(parseError(json::parse(c.body)), c.message);
    }
}

InputSchema imageSchema() {
    InputSchema schema;
    schema.inputs = {{"text", "prompt", 1, 1}, {"text", "negative", 0, 1}, {"image", "init", 0, 1},
                     {"image", "reference", 0, 2}};
    OptionSpec steps{"steps", "int", true, 1, true, 150, 0, 20};
    OptionSpec width{"width", "int", true, 64, true, 2048, 8, 512};
    OptionSpec cfg{"cfg_scale", "number", true, 0, false, 0, 0, 7.0};
    OptionSpec sampler{"sampler", "string", false, 0, false, 0, 0, nullptr};
    OptionSpec tiling{"vae_tiling", "bool", false, 0, false, 0, 0, false};
    schema.options = {steps, width, cfg, sampler, tiling};
    return schema;
}

std::string validateError(const char* body) {
    GenerationInput input = parseGenerationInput(json::parse(body), {"stream"});
    try {
        validateGenerationInput(input, imageSchema());
    } catch (const GenerationInputError& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(GenerationInputValidate, DefaultsFillOnlyWhatIsMissing) {
    GenerationInput input =
        parseGenerationInput(json::parse(R"({"prompt":"p","steps":30,"sampler":null,"stream":1})"), {"stream"});
    validateGenerationInput(input, imageSchema());
    // A null option counts as present: no default, no check.
    EXPECT_EQ(input.options,
              json::parse(R"({"cfg_scale":7.0,"sampler":null,"steps":30,"vae_tiling":false,"width":512})"));
}

TEST(GenerationInputValidate, Errors) {
    const struct {
        const char* body;
        const char* message;
    } cases[] = {
        {R"({"negative_prompt":"n"})", "text/prompt input is required (\"prompt\")"},
        {R"({"prompt":null})", "text/prompt input is required (\"prompt\")"},
        {R"({"prompt":""})", "text/prompt is empty"},
        {R"({"prompt":"p","mask_image":"m.png"})", "this Mivrel does not accept image/mask input"},
        {R"({"parts":[{"type":"text","role":"prompt","text":"p"},{"type":"image","role":"init","file":""}]})",
         "image/init has an empty file"},
        {R"({"parts":[{"type":"text","role":"prompt","text":"p"},{"type":"image","role":"init","file":"a"},
                      {"type":"image","role":"init","file":"b"}]})",
         "image/init input allows at most 1"},
        {R"({"prompt":"p","ref_images":["a","b","c"]})", "image/reference input allows at most 2"},
        {R"({"prompt":"p","foo":1})", "unknown option: \"foo\""},
        {R"({"prompt":"p","steps":"10"})", "\"steps\" must be a number"},
        {R"({"prompt":"p","steps":2.5})", "\"steps\" must be an integer"},
        {R"({"prompt":"p","steps":0})", "\"steps\" must be >= 1.0"},
        {R"({"prompt":"p","steps":151})", "\"steps\" must be <= 150.0"},
        {R"({"prompt":"p","width":13.9})", "\"width\" must be an integer"},
        {R"({"prompt":"p","width":100})", "\"width\" must be a multiple of 8"},
        {R"({"prompt":"p","cfg_scale":-0.5})", "\"cfg_scale\" must be >= 0.0"},
        {R"({"prompt":"p","sampler":3})", "\"sampler\" must be a string"},
        {R"({"prompt":"p","vae_tiling":"yes"})", "\"vae_tiling\" must be a boolean"},
        {R"({"prompt":"p","steps":2.0,"width":512,"cfg_scale":3})", "(no error)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        EXPECT_EQ(validateError(c.body), c.message);
    }
}

TEST(GenerationInputValidate, OptionCheckEdges) {
    OptionSpec multiple{"m", "number", false, 0, false, 0, 8, nullptr};
    auto message = [&](const json& value) -> std::string {
        try {
            multiple.check(value);
        } catch (const GenerationInputError& e) {
            return e.what();
        }
        return "ok";
    };
    EXPECT_EQ(message(13.9), "\"m\" must be a multiple of 8") << "truncated to 13";
    EXPECT_EQ(message(16), "ok");
    EXPECT_EQ(message(-8), "ok");
    EXPECT_EQ(message(16.7), "ok") << "truncated to 16";
    // Values beyond the 64-bit range cannot be truncated; they are refused
    // rather than converted with undefined results.
    EXPECT_EQ(message(1e300), "\"m\" must be a multiple of 8");
    EXPECT_EQ(message(std::numeric_limits<double>::quiet_NaN()), "\"m\" must be a multiple of 8");
    OptionSpec integer{"i", "int", false, 0, false, 0, 0, nullptr};
    EXPECT_THROW(integer.check(std::numeric_limits<double>::quiet_NaN()), GenerationInputError);
    EXPECT_NO_THROW(integer.check(json(18446744073709551615ULL)));
}

}  // namespace
