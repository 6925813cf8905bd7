// The JSON file helpers of the management API.
#include <gtest/gtest.h>

#include <filesystem>

#include "mgmt/json_files.h"
#include "support/temp_dir.h"

namespace {

TEST(JsonFiles, LoadAllowsCommentsAndReportsFailures) {
    TempDir dir;
    writeTextFile(dir.file("a.json"), "// registry\n{\"models\": [] /* none */}\n");
    EXPECT_EQ(loadJsonFile(dir.file("a.json")), nlohmann::json::parse("{\"models\":[]}"));

    try {
        loadJsonFile(dir.file("missing.json"));
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to open file: " + dir.file("missing.json"));
    }
    writeTextFile(dir.file("empty.json"), "");
    EXPECT_THROW(loadJsonFile(dir.file("empty.json")), nlohmann::json::parse_error);
    writeTextFile(dir.file("bad.json"), "{\"a\":");
    EXPECT_THROW(loadJsonFile(dir.file("bad.json")), nlohmann::json::parse_error);
    // A registry nested far beyond the parse's bound fails like any bad text.
    writeTextFile(dir.file("deep.json"),
                  "{\"mivrelList\": " + std::string(60000, '[') + std::string(60000, ']') + "}");
    EXPECT_THROW(loadJsonFile(dir.file("deep.json")), nlohmann::json::parse_error);
}

TEST(JsonFiles, SaveCreatesFoldersAndWritesIndentedWithoutNewline) {
    TempDir dir;
    const std::string path = dir.file("x/y/mivrel.json");
    saveJsonFile(path, nlohmann::json{{"mivrelList", nlohmann::json::array()}});
    EXPECT_EQ(readTextFile(path), "{\n  \"mivrelList\": []\n}");

    saveJsonFile(path, nlohmann::json{{"b", 1}, {"a", {{"c", true}}}});
    EXPECT_EQ(readTextFile(path), "{\n  \"a\": {\n    \"c\": true\n  },\n  \"b\": 1\n}");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("x/y")), {}), 1)
        << "no temporary file is left beside it";

    writeTextFile(dir.file("file"), "");
    EXPECT_THROW(saveJsonFile(dir.file("file/z.json"), nlohmann::json::object()), std::filesystem::filesystem_error);
}

TEST(JsonFiles, FlagIsTrueOnlyForBooleanTrue) {
    const auto doc = nlohmann::json::parse(R"({"t":true,"f":false,"s":"true","n":1,"z":null})");
    EXPECT_TRUE(jsonFlag(doc, "t"));
    for (const char* key : {"f", "s", "n", "z", "missing"}) EXPECT_FALSE(jsonFlag(doc, key)) << key;
    EXPECT_FALSE(jsonFlag(nlohmann::json::array({true}), "0"));
    EXPECT_FALSE(jsonFlag(nlohmann::json(true), "t"));
}

}  // namespace
