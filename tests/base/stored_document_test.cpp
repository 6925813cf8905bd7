// The field limits every writer of a stored document applies, and the bound
// on a whole document: the first field beyond its limit is named, nested
// values and list items included, and a registry's list is bounded by the
// document's size alone.
#include "base/stored_document.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using nlohmann::json;

TEST(StoredDocument, NamesTheFirstFieldBeyondItsLimit) {
    struct Case {
        const char* what;
        json document;
        std::string refusal;  // "" when accepted
    };
    const Case cases[] = {
        {"a plain settings document", {{"name", "Chat"}, {"temperature", 0.7}, {"notes", {{"a", 1}}}}, ""},
        {"name at its limit", {{"name", std::string(256, 'n')}}, ""},
        {"name beyond it", {{"name", std::string(257, 'n')}}, "\"name\" must be at most 256 bytes"},
        {"description beyond it", {{"description", std::string(4097, 'd')}}, "\"description\" must be at most 4096 bytes"},
        {"other text beyond its limit", {{"sampler", std::string(4097, 's')}}, "\"sampler\" must be at most 4096 bytes"},
        {"nested text", {{"genDefaults", {{"stop", std::string(5000, 'x')}}}}, "\"stop\" must be at most 4096 bytes"},
        {"text inside a list", {{"voice", json::array({"a", std::string(5000, 'v')})}}, "\"voice\" must be at most 4096 bytes"},
        {"a long list", {{"voice", json(std::vector<int>(1025, 1))}}, "\"voice\" must hold at most 1024 items"},
        {"a wide object", [] {
             json wide = json::object();
             for (int i = 0; i < 1025; ++i) wide["k" + std::to_string(i)] = i;
             return json{{"wide", wide}};
         }(), "\"wide\" must hold at most 1024 items"},
        {"a long member name", {{std::string(129, 'k'), 1}}, "member names must be at most 128 bytes"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(storedFieldRefusal(c.document), c.refusal) << c.what;
        EXPECT_EQ(storedDocumentRefusal(c.document, 1 << 20, "properties.json"), c.refusal) << c.what;
    }
}

TEST(StoredDocument, BoundsTheWholeDocumentAndLetsARegistryListGrowToIt) {
    json settings = json::object();
    for (int i = 0; i < 20; ++i) settings["note" + std::to_string(i)] = std::string(4000, 'c');
    const std::string refusal = storedDocumentRefusal(settings, kMaxInstanceSettingsBytes, "properties.json");
    EXPECT_EQ(refusal.rfind("properties.json would be ", 0), 0u) << refusal;
    EXPECT_NE(refusal.find("more than its limit of 65536 bytes"), std::string::npos) << refusal;

    // A registry of 2000 small records passes; its records keep the limits.
    json registry = {{"models", json::array()}};
    for (int i = 0; i < 2000; ++i) registry["models"].push_back({{"modelId", "m" + std::to_string(i)}, {"name", "M"}});
    EXPECT_EQ(storedDocumentRefusal(registry, kMaxModelRegistryBytes, "models.json", "models"), "");
    EXPECT_EQ(storedDocumentRefusal(registry, kMaxModelRegistryBytes, "models.json"),
              "\"models\" must hold at most 1024 items")
        << "without naming the list, it is bounded like any other";
    registry["models"][1500]["name"] = std::string(300, 'n');
    EXPECT_EQ(storedDocumentRefusal(registry, kMaxModelRegistryBytes, "models.json", "models"),
              "\"name\" must be at most 256 bytes");
    registry["models"][1500]["name"] = "M";
    for (json& record : registry["models"]) {
        record["storagePath"] = std::string(4096, 'p');
        record["format"] = std::string(500, 'f');
    }
    EXPECT_EQ(storedDocumentRefusal(registry, kMaxModelRegistryBytes, "models.json", "models").rfind(
                  "models.json would be ", 0),
              0u);
}

}  // namespace
