#include <gtest/gtest.h>

#include <sys/stat.h>

#include "engine/gguf_reader.h"
#include "engine_test_util.h"
#include "support/temp_dir.h"
#include "support/test_models.h"
#include "support/test_paths.h"

namespace {

using ojson = nlohmann::ordered_json;

class GgufReaderTest : public testing::Test {
protected:
    // Reads `writer`'s bytes, cut to `length`, with `wanted` keys.
    bool read(const GgufWriter& writer, const std::vector<std::string>& wanted = {},
              size_t length = std::string::npos) {
        writer.writeTo(path, length);
        error.clear();
        return readGgufHeader(path, wanted, header, error);
    }

    TempDir dir;
    std::string path = dir.file("model.gguf");
    GgufHeader header;
    std::string error;
};

// A small but complete file: metadata of several kinds and two tensors.
GgufWriter sampleFile() {
    GgufWriter w;
    w.header(3, 2, 7);
    w.kvString("general.architecture", "llama");
    w.kvString("general.name", "tiny");
    w.kvU32("llama.context_length", 256);
    w.kvBool("clip.has_audio_encoder", true);
    w.str("llama.rope.freq_base").u32(GgufWriter::kFloat32).f32(10000.0f);
    w.str("llama.neg").u32(GgufWriter::kInt64).u64(static_cast<uint64_t>(-5LL));
    w.kvStringArray("tokenizer.ggml.tokens", 3);
    w.tensor("token_embd.weight", {64, 305});
    w.tensor("output_norm.weight", {64});
    return w;
}

TEST_F(GgufReaderTest, ReadsHeaderMetadataAndParameterCount) {
    ASSERT_TRUE(read(sampleFile())) << error;
    EXPECT_EQ(header.version, 3u);
    EXPECT_EQ(header.tensorCount, 2u);
    EXPECT_EQ(header.metadataCount, 7u);
    EXPECT_EQ(header.parameterCount, 64u * 305u + 64u);
    const ojson& m = header.metadata;
    EXPECT_EQ(m["general.architecture"], "llama");
    EXPECT_EQ(m["llama.context_length"], 256);
    EXPECT_EQ(m["clip.has_audio_encoder"], true);
    EXPECT_DOUBLE_EQ(m["llama.rope.freq_base"].get<double>(), 10000.0);
    EXPECT_EQ(m["llama.neg"].get<int64_t>(), -5);
    EXPECT_EQ(m["tokenizer.ggml.tokens"], ojson::array({"t0", "t1", "t2"}));
    // File order is kept.
    std::vector<std::string> keys;
    for (auto it = m.begin(); it != m.end(); ++it) keys.push_back(it.key());
    EXPECT_EQ(keys.front(), "general.architecture");
    EXPECT_EQ(keys.back(), "tokenizer.ggml.tokens");
}

TEST_F(GgufReaderTest, EveryScalarTypeAndItsJsonKind) {
    GgufWriter w;
    w.header(2, 0, 12);
    w.str("u8").u32(GgufWriter::kUint8).u8(200);
    w.str("i8").u32(GgufWriter::kInt8).u8(0xFF);
    w.str("u16").u32(GgufWriter::kUint16).u16(65535);
    w.str("i16").u32(GgufWriter::kInt16).u16(0x8000);
    w.str("u32").u32(GgufWriter::kUint32).u32(4000000000u);
    w.str("i32").u32(GgufWriter::kInt32).u32(0xFFFFFFFE);
    w.str("f32").u32(GgufWriter::kFloat32).f32(0.5f);
    w.str("b").u32(GgufWriter::kBool).u8(2);
    w.str("u64").u32(GgufWriter::kUint64).u64(18446744073709551615ULL);
    w.str("i64").u32(GgufWriter::kInt64).u64(0x8000000000000000ULL);
    w.str("f64").u32(GgufWriter::kFloat64).f64(-2.25);
    w.str("empty").u32(GgufWriter::kArray).u32(GgufWriter::kUint8).u64(0);
    ASSERT_TRUE(read(w)) << error;
    const ojson& m = header.metadata;
    EXPECT_EQ(m["u8"], 200u);
    EXPECT_EQ(m["i8"], -1);
    EXPECT_EQ(m["u16"], 65535u);
    EXPECT_EQ(m["i16"], -32768);
    EXPECT_EQ(m["u32"], 4000000000u);
    EXPECT_EQ(m["i32"], -2);
    EXPECT_TRUE(m["f32"].is_number_float());
    EXPECT_EQ(m["b"], true);  // any non-zero byte
    EXPECT_EQ(m["u64"], 18446744073709551615ULL);
    EXPECT_EQ(m["i64"].get<int64_t>(), INT64_MIN);
    EXPECT_DOUBLE_EQ(m["f64"].get<double>(), -2.25);
    EXPECT_EQ(m["empty"], ojson::array());
    EXPECT_TRUE(m["u8"].is_number_unsigned());
    EXPECT_FALSE(m["i8"].is_number_unsigned());
}

TEST_F(GgufReaderTest, ErrorTexts) {
    struct Case {
        std::string bytes;
        const char* error;
    };
    const Case cases[] = {
        {"GGML" + std::string(20, '\0'), "not a GGUF file"},
        {"GGU", "not a GGUF file"},
        {"", "not a GGUF file"},
        {GgufWriter().header(1, 0, 0).bytes(), "unsupported GGUF version 1"},
        {GgufWriter().header(0, 0, 0).bytes(), "unsupported GGUF version 0"},
        {"GGUF", "corrupted or truncated GGUF header"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        writeTextFile(path, c.bytes);
        EXPECT_FALSE(readGgufHeader(path, {}, header, error));
        EXPECT_EQ(error, c.error);
    }
    EXPECT_FALSE(readGgufHeader(dir.file("missing.gguf"), {}, header, error));
    EXPECT_EQ(error, "cannot open file");
    EXPECT_FALSE(readGgufHeader(dir.path(), {}, header, error));  // a folder is no GGUF file
    EXPECT_NE(error, "");
    // A FIFO without a writer would block an open for reading: it is refused at once.
    ASSERT_EQ(::mkfifo(dir.file("fifo.gguf").c_str(), 0600), 0);
    EXPECT_FALSE(readGgufHeader(dir.file("fifo.gguf"), {}, header, error));
    EXPECT_EQ(error, "cannot open file");
    ASSERT_TRUE(read(GgufWriter().header(99, 0, 0)));  // later versions are read
    EXPECT_EQ(header.version, 99u);
}

TEST_F(GgufReaderTest, TruncationAtEveryFieldIsReported) {
    const GgufWriter w = sampleFile();
    const std::vector<size_t>& ends = w.fieldEnds();
    ASSERT_GT(ends.size(), 20u);
    for (size_t cut : ends) {
        if (cut >= w.bytes().size()) continue;
        SCOPED_TRACE(cut);
        EXPECT_FALSE(read(w, {}, cut));
        EXPECT_TRUE(error == "corrupted or truncated GGUF header" || error == "not a GGUF file") << error;
        // Also inside the field, one byte short of its end.
        if (cut > 4) {
            EXPECT_FALSE(read(w, {}, cut - 1));
        }
    }
    // Cutting only the tensor infos' skipped type and offset is also seen.
    EXPECT_FALSE(read(w, {}, w.bytes().size() - 1));
    EXPECT_EQ(error, "corrupted or truncated GGUF header");
    EXPECT_TRUE(read(w)) << error;
}

TEST_F(GgufReaderTest, FailureKeepsWhatWasReadBefore) {
    GgufWriter w;
    w.header(3, 0, 2).kvString("general.name", "kept").str("bad").u32(13).u32(0);
    EXPECT_FALSE(read(w));
    EXPECT_EQ(error, "corrupted or truncated GGUF header");
    EXPECT_EQ(header.metadata["general.name"], "kept");
    EXPECT_FALSE(header.metadata.contains("bad"));
}

TEST_F(GgufReaderTest, StringLengthLimit) {
    GgufWriter over;
    over.header(3, 0, 1).str("k").u32(GgufWriter::kString).u64(0x10000001ULL);
    EXPECT_FALSE(read(over));
    EXPECT_EQ(error, "corrupted or truncated GGUF header");
    EXPECT_FALSE(read(over, {"other"}));  // also when the key is not wanted
    EXPECT_EQ(error, "corrupted or truncated GGUF header");

    // A length of exactly 256 MiB passes the limit; this file is short, so the
    // read fails as a truncation instead of allocating the string.
    GgufWriter atLimit;
    atLimit.header(3, 0, 1).str("k").u32(GgufWriter::kString).u64(0x10000000ULL).raw("abc");
    EXPECT_FALSE(read(atLimit));
    EXPECT_EQ(error, "corrupted or truncated GGUF header");
}

TEST_F(GgufReaderTest, NestedArraysAreCorruptWantedOrNot) {
    GgufWriter w;
    w.header(3, 0, 1).str("nested").u32(GgufWriter::kArray).u32(GgufWriter::kArray).u64(1);
    w.u32(GgufWriter::kUint8).u64(1).u8(1);
    for (const std::vector<std::string>& wanted : {std::vector<std::string>{}, std::vector<std::string>{"x"}}) {
        EXPECT_FALSE(read(w, wanted));
        EXPECT_EQ(error, "corrupted or truncated GGUF header");
    }
}

TEST_F(GgufReaderTest, ArraysOfMoreThan64ElementsAreSummarised) {
    GgufWriter w;
    w.header(3, 1, 4);
    w.kvStringArray("a64", 64);
    w.kvStringArray("a65", 65);
    w.str("ints").u32(GgufWriter::kArray).u32(GgufWriter::kInt32).u64(1000);
    for (int i = 0; i < 1000; ++i) w.u32(static_cast<uint32_t>(i));
    w.str("unknown").u32(GgufWriter::kArray).u32(13).u64(2).u32(0).u32(0);  // unknown element type
    w.tensor("t", {2, 3});
    EXPECT_FALSE(read(w));
    EXPECT_EQ(error, "corrupted or truncated GGUF header");
    EXPECT_EQ(header.metadata["a64"].size(), 64u);
    EXPECT_EQ(header.metadata["a64"][63], "t63");
    EXPECT_EQ(header.metadata["a65"].dump(), R"({"type":"array","element_type":"string","count":65})");
    EXPECT_EQ(header.metadata["ints"].dump(), R"({"type":"array","element_type":"int32","count":1000})");

    // Without the unknown element type the tensors after the arrays are
    // reached, so the skips landed on the right bytes.
    GgufWriter ok;
    ok.header(3, 1, 2).kvStringArray("a65", 65);
    ok.str("ints").u32(GgufWriter::kArray).u32(GgufWriter::kInt32).u64(100);
    for (int i = 0; i < 100; ++i) ok.u32(1);
    ok.tensor("t", {2, 3});
    ASSERT_TRUE(read(ok, {"nothing"})) << error;
    EXPECT_EQ(header.parameterCount, 6u);
    EXPECT_TRUE(header.metadata.empty());

    // An unknown element type cannot be skipped either.
    GgufWriter unknown;
    unknown.header(3, 0, 1).str("u").u32(GgufWriter::kArray).u32(13).u64(100);
    EXPECT_FALSE(read(unknown, {"nothing"}));
    EXPECT_EQ(error, "corrupted or truncated GGUF header");
}

TEST_F(GgufReaderTest, ArrayCountBeyondTheFileIsATruncation) {
    GgufWriter w;
    w.header(3, 0, 1).str("big").u32(GgufWriter::kArray).u32(GgufWriter::kUint64).u64(0x4000000000000000ULL);
    EXPECT_FALSE(read(w));
    EXPECT_EQ(error, "corrupted or truncated GGUF header");
}

TEST_F(GgufReaderTest, TensorDimensions) {
    GgufWriter eight;
    eight.header(3, 1, 0).tensor("t", {1, 2, 1, 2, 1, 2, 1, 2});
    ASSERT_TRUE(read(eight)) << error;
    EXPECT_EQ(header.parameterCount, 16u);
    GgufWriter nine;
    nine.header(3, 1, 0).tensor("t", {1, 1, 1, 1, 1, 1, 1, 1, 1});
    EXPECT_FALSE(read(nine));
    EXPECT_EQ(error, "corrupted or truncated GGUF header");
    // A tensor count larger than the infos present is a truncation.
    GgufWriter missing;
    missing.header(3, 2, 0).tensor("t", {4});
    EXPECT_FALSE(read(missing));
    EXPECT_EQ(error, "corrupted or truncated GGUF header");
}

TEST_F(GgufReaderTest, WantedKeysAndDuplicates) {
    GgufWriter w;
    w.header(3, 0, 5);
    w.kvString("general.name", "a");
    w.kvString("tokenizer.ggml.model", "gpt2");
    w.kvString("general.", "dot");
    w.kvString("other", "x");
    w.kvString("general.name", "b");
    ASSERT_TRUE(read(w, {"general.*", "tokenizer.ggml.model"})) << error;
    EXPECT_EQ(header.metadata.dump(), R"({"general.name":"b","tokenizer.ggml.model":"gpt2","general.":"dot"})");
    ASSERT_TRUE(read(w, {"*"})) << error;
    EXPECT_EQ(header.metadata.size(), 4u);
}

TEST_F(GgufReaderTest, InvalidUtf8IsReplaced) {
    GgufWriter w;
    w.header(3, 0, 2);
    w.kvString("general.name", std::string("a\xFF" "b"));
    w.kvString(std::string("key\xC3"), "v");
    ASSERT_TRUE(read(w)) << error;
    EXPECT_EQ(header.metadata["general.name"], "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(header.metadata["key\xEF\xBF\xBD"], "v");
    EXPECT_NO_THROW(header.metadata.dump());
}

TEST(GgufKitModelTest, ReadsTheTestModelKitsChatModel) {
    const std::string model = testModelPath(testmodels::kTinyChatFile);
    struct stat st {};
    if (::stat(model.c_str(), &st) != 0 || st.st_size == 0) GTEST_SKIP() << "the test-model kit wrote no model";
    GgufHeader header;
    std::string error;
    ASSERT_TRUE(readGgufHeader(model, {}, header, error)) << error;
    EXPECT_GE(header.version, 2u);
    EXPECT_EQ(header.metadata["general.architecture"], "llama");
    EXPECT_EQ(header.metadata["llama.block_count"], testmodels::kBlockCount);
    // The vocabulary (byte tokens and markers) is longer than 64: summarised.
    ASSERT_TRUE(header.metadata["tokenizer.ggml.tokens"].is_object());
    const uint64_t vocab = header.metadata["tokenizer.ggml.tokens"]["count"].get<uint64_t>();
    EXPECT_GT(vocab, 256u);
    const ojson summary = summarizeGguf(header);
    EXPECT_EQ(summary["embedding_length"], testmodels::kEmbeddingLength);
    EXPECT_EQ(summary["vocab_size"], vocab);
    EXPECT_GT(summary["parameters"].get<uint64_t>(), 0u);

    ASSERT_TRUE(readGgufHeader(model, {"general.architecture"}, header, error)) << error;
    EXPECT_EQ(header.metadata.size(), 1u);
}

}  // namespace
