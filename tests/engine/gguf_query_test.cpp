#include <gtest/gtest.h>

#include "engine/gguf_reader.h"

namespace {

using ojson = nlohmann::ordered_json;
using Keys = std::vector<std::string>;

TEST(IsWantedKeyTest, EmptyStarExactAndPrefixEntries) {
    struct Case {
        const char* key;
        Keys wanted;
        bool expected;
    };
    const Case cases[] = {
        {"anything", {}, true},
        {"anything", {"*"}, true},
        {"general.name", {"general.name"}, true},
        {"general.name", {"General.name"}, false},
        {"general.name", {"general.*"}, true},
        {"general.", {"general.*"}, true},
        {"general", {"general.*"}, false},
        {"generalx", {"general.*"}, false},
        {"tokenizer.ggml.model", {"general.*", "tokenizer.ggml.model"}, true},
        {"general.name", {"general"}, false},
        {"general.name", {"gen*"}, false},
        {"a.b.c", {"a.*"}, true},
        {".x", {".*"}, true},
    };
    for (const Case& c : cases) EXPECT_EQ(isWantedKey(c.key, c.wanted), c.expected) << c.key;
}

TEST(UrlDecodeTest, PercentPlusAndBrokenEscapes) {
    const std::pair<const char*, std::string> cases[] = {
        {"general.name%2Ctokenizer.ggml.model", "general.name,tokenizer.ggml.model"},
        {"a+b", "a b"},
        {"%41%62", "Ab"},
        {"%zz", "%zz"},
        {"%4", "%4"},
        {"%", "%"},
        {"100%", "100%"},
        {"%e2%80%94", "\xE2\x80\x94"},
        {"%00", std::string(1, '\0')},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(urlDecode(in), out) << in;
}

TEST(QueryParamTest, FirstExactUndecodedName) {
    EXPECT_EQ(queryParam("keys=a,b&x=1", "keys"), "a,b");
    EXPECT_EQ(queryParam("x=1&keys=a&keys=b", "keys"), "a");
    EXPECT_EQ(queryParam("keys", "keys"), "");
    EXPECT_EQ(queryParam("keys=a=b", "keys"), "a=b");
    EXPECT_EQ(queryParam("key=a", "keys"), "");
    EXPECT_EQ(queryParam("k%65ys=a", "keys"), "");
    EXPECT_EQ(queryParam("", "keys"), "");
    EXPECT_EQ(queryParam("&&keys=%2C", "keys"), "%2C");
}

TEST(SplitKeyListTest, TrimsAndDropsEmptyPieces) {
    EXPECT_EQ(splitKeyList("a,,b,"), (Keys{"a", "b"}));
    EXPECT_EQ(splitKeyList(" a \t, b"), (Keys{"a", "b"}));
    EXPECT_EQ(splitKeyList(""), Keys{});
    EXPECT_EQ(splitKeyList(" , \t"), Keys{});
    EXPECT_EQ(splitKeyList("a b"), Keys{"a b"});
}

TEST(WantedKeysFromQueryTest, DecodesThenSplits) {
    EXPECT_EQ(wantedKeysFromQuery("keys=general.name%2Ctokenizer.ggml.model"),
              (Keys{"general.name", "tokenizer.ggml.model"}));
    EXPECT_EQ(wantedKeysFromQuery("keys=a,,b,"), (Keys{"a", "b"}));
    EXPECT_EQ(wantedKeysFromQuery("format=json"), Keys{});
    EXPECT_EQ(wantedKeysFromQuery("keys=+a+%2C+b"), (Keys{"a", "b"}));
}

TEST(SummarizeGgufTest, FullSummaryInOrder) {
    GgufHeader h;
    h.version = 3;
    h.tensorCount = 201;
    h.parameterCount = 123456;
    h.metadataCount = 30;
    h.metadata["general.architecture"] = "qwen3";
    h.metadata["general.name"] = "Q";
    h.metadata["general.size_label"] = "8B";
    h.metadata["general.file_type"] = 15;
    h.metadata["qwen3.context_length"] = 40960;
    h.metadata["qwen3.block_count"] = 36;
    h.metadata["qwen3.embedding_length"] = 4096;
    h.metadata["qwen3.attention.head_count"] = 32;
    h.metadata["qwen3.attention.head_count_kv"] = 8;
    h.metadata["tokenizer.ggml.model"] = "gpt2";
    h.metadata["tokenizer.ggml.tokens"] = {{"type", "array"}, {"element_type", "string"}, {"count", 151936}};
    h.metadata["tokenizer.chat_template"] = "{{x}}";
    h.metadata["tokenizer.chat_template.tool_use"] = "t";
    h.metadata["tokenizer.chat_template.rag"] = "r";
    EXPECT_EQ(summarizeGguf(h).dump(),
              R"({"architecture":"qwen3","name":"Q","size_label":"8B","parameters":123456,"file_type":15,)"
              R"("context_length":40960,"block_count":36,"embedding_length":4096,"head_count":32,"head_count_kv":8,)"
              R"("tokenizer":"gpt2","vocab_size":151936,"has_chat_template":true,"chat_template_length":5,)"
              R"("named_chat_templates":["tool_use","rag"],"gguf_version":3,"n_tensors":201,"metadata_keys":30})");
}

TEST(SummarizeGgufTest, MissingArchitectureAndTemplate) {
    GgufHeader h;
    h.version = 2;
    h.metadata["llama.context_length"] = 1;
    h.metadata["tokenizer.ggml.tokens"] = ojson::array({"a", "b", "c"});
    h.metadata["tokenizer.chat_template"] = 5;  // not a string
    EXPECT_EQ(summarizeGguf(h).dump(),
              R"({"parameters":0,"vocab_size":3,"has_chat_template":false,"gguf_version":2,"n_tensors":0,)"
              R"("metadata_keys":0})");
}

}  // namespace
