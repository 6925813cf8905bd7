// The check every model file passes before the llama library loads it.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "engine/gguf_load_check.h"
#include "engine_test_util.h"
#include "llm_test_util.h"
#include "support/temp_dir.h"
#include "support/test_models.h"
#include "support/test_paths.h"

namespace {

using llmtest::kitLoadSettings;
using llmtest::quietLlamaLogs;
using llmtest::thrownBy;

// A u64 length and its text, as GGUF stores strings.
std::string ggufString(const std::string& text) {
    std::string out;
    for (int i = 0; i < 8; ++i) out += static_cast<char>((text.size() >> (8 * i)) & 0xFF);
    return out + text;
}

// A small model file: three tokens with scores and types, a BOS id, and one
// F16 tensor of `extent` values whose data follows the aligned infos.
struct SmallModel {
    std::vector<std::string> tokens = {"a", "b", "c"};
    uint64_t scores = 3;
    uint64_t types = 3;
    uint32_t bos = 1;
    std::vector<uint64_t> dims = {4};
    uint32_t tensorType = 1;  // F16
    uint64_t offset = 0;
    uint64_t dataBytes = 8;
    uint32_t alignment = 32;
    // More metadata: string and unsigned 32-bit values.
    std::vector<std::pair<std::string, std::string>> texts;
    std::vector<std::pair<std::string, uint32_t>> counts;

    GgufWriter build() const {
        GgufWriter w;
        w.header(3, 1, 5 + texts.size() + counts.size());
        for (const auto& [key, value] : texts) w.str(key).u32(GgufWriter::kString).str(value);
        for (const auto& [key, value] : counts) w.kvU32(key, value);
        w.str("tokenizer.ggml.tokens").u32(GgufWriter::kArray).u32(GgufWriter::kString).u64(tokens.size());
        for (const std::string& t : tokens) w.str(t);
        w.str("tokenizer.ggml.scores").u32(GgufWriter::kArray).u32(GgufWriter::kFloat32).u64(scores);
        for (uint64_t i = 0; i < scores; ++i) w.f32(0.0f);
        w.str("tokenizer.ggml.token_type").u32(GgufWriter::kArray).u32(GgufWriter::kInt32).u64(types);
        for (uint64_t i = 0; i < types; ++i) w.u32(1);
        w.kvU32("tokenizer.ggml.bos_token_id", bos);
        w.kvU32("general.alignment", alignment);
        w.str("weight").u32(static_cast<uint32_t>(dims.size()));
        for (uint64_t d : dims) w.u64(d);
        w.u32(tensorType).u64(offset);
        const size_t pad = (32 - w.bytes().size() % 32) % 32;
        w.raw(std::string(pad, '\0'));
        w.raw(std::string(dataBytes, '\x11'));
        return w;
    }
};

TEST(GgufLoadCheck, RefusesWhatTheLoaderWouldAbortOn) {
    struct Case {
        const char* label;
        SmallModel model;
        std::string error;  // empty: passes
    };
    const auto with = [](auto change) {
        SmallModel m;
        change(m);
        return m;
    };
    const Case cases[] = {
        {"sound", SmallModel{}, ""},
        {"duplicate text", with([](SmallModel& m) { m.tokens = {"a", "b", "a"}; }), "duplicate token text at id 2"},
        {"empty texts are distinct", with([](SmallModel& m) { m.tokens = {"", "b", ""}; }), ""},
        {"empty text meets its stand-in", with([](SmallModel& m) { m.tokens = {"", "[EMPTY_0]", "c"}; }),
         "duplicate token text at id 1"},
        // The library keeps a text up to its first NUL.
        {"texts equal up to a NUL", with([](SmallModel& m) { m.tokens = {std::string("a\0x", 3), "b", std::string("a\0y", 3)}; }),
         "duplicate token text at id 2"},
        {"text empty before a NUL", with([](SmallModel& m) { m.tokens = {std::string("\0x", 2), "[EMPTY_0]", "c"}; }),
         "duplicate token text at id 1"},
        {"short scores", with([](SmallModel& m) { m.scores = 2; }), "tokenizer.ggml.scores has 2 entries for 3 tokens"},
        {"long types", with([](SmallModel& m) { m.types = 4; }), "tokenizer.ggml.token_type has 4 entries for 3 tokens"},
        {"bos beyond", with([](SmallModel& m) { m.bos = 3; }), "tokenizer.ggml.bos_token_id 3 is outside the 3 tokens"},
        {"bos last", with([](SmallModel& m) { m.bos = 2; }), ""},
        {"data past the end", with([](SmallModel& m) { m.dataBytes = 7; }), "data of tensor weight lies outside the file"},
        {"offset past the end", with([](SmallModel& m) { m.offset = 64; }), "data of tensor weight lies outside the file"},
        {"huge offset", with([](SmallModel& m) { m.offset = ~0ULL - 4; }), "data of tensor weight lies outside the file"},
        {"overflowing size", with([](SmallModel& m) { m.dims = {4, 1ULL << 62, 8}; }), "tensor weight is larger than any file"},
        {"five dimensions", with([](SmallModel& m) { m.dims = {4, 1, 1, 1, 1}; }), "tensor weight has 5 dimensions"},
        {"unknown type", with([](SmallModel& m) { m.tensorType = 4; }), "tensor weight has unknown type 4"},
        {"type beyond the table", with([](SmallModel& m) { m.tensorType = 9999; }), "tensor weight has unknown type 9999"},
        {"partial block", with([](SmallModel& m) { m.tensorType = 2; m.dims = {48}; }),
         "tensor weight has a first dimension that is not a whole number of blocks"},
        {"odd alignment", with([](SmallModel& m) { m.alignment = 24; }), "alignment 24 is not a power of two"},
        // The loader's checks of an architecture's layer and expert counts.
        {"sound counts", with([](SmallModel& m) {
             m.texts = {{"general.architecture", "llama"}, {"llama.rope.scaling.type", "yarn"}};
             m.counts = {{"llama.block_count", 2}, {"llama.expert_count", 8}, {"llama.expert_used_count", 2},
                         {"llama.expert_group_count", 4}, {"llama.expert_group_used_count", 2}};
         }),
         ""},
        {"no blocks", with([](SmallModel& m) {
             m.texts = {{"general.architecture", "llama"}};
             m.counts = {{"llama.block_count", 0}};
         }),
         "llama.block_count 0 is outside 1..512"},
        {"too many blocks", with([](SmallModel& m) {
             m.texts = {{"general.architecture", "qwen3"}};
             m.counts = {{"qwen3.block_count", 513}};
         }),
         "qwen3.block_count 513 is outside 1..512"},
        {"blocks of another architecture", with([](SmallModel& m) {
             m.texts = {{"general.architecture", "llama"}};
             m.counts = {{"qwen3.block_count", 0}};
         }),
         ""},
        {"next-token layers", with([](SmallModel& m) {
             m.texts = {{"general.architecture", "llama"}};
             m.counts = {{"llama.block_count", 2}, {"llama.nextn_predict_layers", 3}};
         }),
         "llama.nextn_predict_layers exceeds block_count"},
        {"used experts without experts", with([](SmallModel& m) {
             m.texts = {{"general.architecture", "llama"}};
             m.counts = {{"llama.expert_used_count", 1}};
         }),
         "llama.expert_used_count exceeds expert_count"},
        {"experts none used", with([](SmallModel& m) {
             m.texts = {{"general.architecture", "llama"}};
             m.counts = {{"llama.expert_count", 4}};
         }),
         "llama.expert_used_count is 0 with experts"},
        {"too many experts", with([](SmallModel& m) {
             m.texts = {{"general.architecture", "llama"}};
             m.counts = {{"llama.expert_count", 1025}, {"llama.expert_used_count", 1}};
         }),
         "llama.expert_count 1025 is too large"},
        {"uneven groups", with([](SmallModel& m) {
             m.texts = {{"general.architecture", "llama"}};
             m.counts = {{"llama.expert_count", 8}, {"llama.expert_used_count", 1}, {"llama.expert_group_count", 3}};
         }),
         "llama.expert_group_count does not fit expert_count and expert_group_used_count"},
        {"unknown rope scaling", with([](SmallModel& m) {
             m.texts = {{"general.architecture", "llama"}, {"llama.rope.scaling.type", "spiral"}};
         }),
         "llama.rope.scaling.type is unknown"},
    };
    TempDir dir;
    const std::string path = dir.file("model.gguf");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        c.model.build().writeTo(path);
        std::string error;
        EXPECT_EQ(checkGgufForLoader(path, error), c.error.empty()) << error;
        EXPECT_EQ(error, c.error);
    }
    // Truncated at every field boundary of the header: a header fault, never a pass.
    const GgufWriter whole = SmallModel{}.build();
    for (size_t end : whole.fieldEnds()) {
        if (end >= whole.bytes().size()) continue;
        whole.writeTo(path, end);
        std::string error;
        EXPECT_FALSE(checkGgufForLoader(path, error)) << end;
    }
}

TEST(GgufLoadCheck, OnlyRegularFilesAreOpened) {
    TempDir dir;
    std::string error;
    ASSERT_EQ(::mkfifo(dir.file("fifo.gguf").c_str(), 0600), 0);
    EXPECT_FALSE(checkGgufForLoader(dir.file("fifo.gguf"), error));  // returns at once: no writer is needed
    EXPECT_EQ(error, "not a regular file");
    EXPECT_FALSE(checkGgufForLoader(dir.path(), error));
    EXPECT_EQ(error, "not a regular file");
    EXPECT_FALSE(checkGgufForLoader(dir.file("missing.gguf"), error));
    EXPECT_EQ(error, "cannot open file");
    writeTextFile(dir.file("text.gguf"), "hello");
    EXPECT_FALSE(checkGgufForLoader(dir.file("text.gguf"), error));
    EXPECT_EQ(error, "not a GGUF file");
}

// The kit's chat model with one byte changed: token "b" (id 98) spelled "a",
// the duplicate that makes the library's vocabulary loader abort.
std::string kitModelWithDuplicateToken(const TempDir& dir) {
    std::string bytes = readTextFile(testModelPath(testmodels::kTinyChatFile));
    const std::string pair = ggufString("a") + ggufString("b");
    const size_t at = bytes.find(pair);
    if (at == std::string::npos) return "";
    bytes[at + pair.size() - 1] = 'a';
    const std::string path = dir.file("duplicate.gguf");
    writeTextFile(path, bytes);
    return path;
}

TEST(GgufLoadCheck, KitModelPassesAndItsDamagedCopiesFailTheLoadInsteadOfAborting) {
    quietLlamaLogs();
    const std::string kit = testModelPath(testmodels::kTinyChatFile);
    std::string error;
    ASSERT_TRUE(checkGgufForLoader(kit, error)) << error;

    TempDir dir;
    const std::string duplicate = kitModelWithDuplicateToken(dir);
    ASSERT_FALSE(duplicate.empty()) << "the kit's vocabulary has no byte tokens \"a\", \"b\"";
    EXPECT_FALSE(checkGgufForLoader(duplicate, error));
    EXPECT_EQ(error, "duplicate token text at id 98");

    const std::string truncated = dir.file("truncated.gguf");
    const std::string bytes = readTextFile(kit);
    writeTextFile(truncated, bytes.substr(0, bytes.size() - 1));
    EXPECT_FALSE(checkGgufForLoader(truncated, error));
    EXPECT_NE(error.find("lies outside the file"), std::string::npos) << error;

    const std::string fifo = dir.file("fifo.gguf");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {duplicate, truncated, fifo}) {
        SCOPED_TRACE(path);
        MivrelLLMEngine engine;
        ModelLoadSettings settings = kitLoadSettings(testmodels::kTinyChatFile);
        settings.modelPath = path;
        const MivrelException e = thrownBy([&] { engine.loadModel(settings); });
        EXPECT_EQ(e.code, MivrelErrorCode::LoadFailed);
        EXPECT_EQ(e.message, "failed to load model: " + path);
        EXPECT_EQ(engine.model(), nullptr);
    }
}

}  // namespace
