// The status report's text for status documents of every shape the server
// sends, with cells of mixed terminal widths.
#include <gtest/gtest.h>

#include "cli/status_report.h"

namespace {

using nlohmann::json;

TEST(StatusReport, TableLinesUpMixedWidthCells) {
    const json status = json::parse(R"({
      "process": {"version": "1.0.23", "port": 4092, "brisvaneId": "dev-7",
                  "gatewayConnected": true, "gatewayStatus": "connected"},
      "inference": {"activeMivrelCount": 6, "mivrels": [
        {"id": "a", "name": "한국어 모델", "modelPath": "C:\\models\\qwen\\Qwen3-4B-Q4_K_M.gguf", "nCtx": 4096,
         "status": "idle", "inTokens": 120, "outTokens": 45},
        {"id": "b", "name": "中文助手", "modelPath": "models/glm/glm-4-9b-chat-with-a-long-name-q8.gguf", "nCtx": 131072,
         "status": "running", "inTokens": 7, "outTokens": 3000000000},
        {"id": "c", "name": "日本語のアシスタント😀", "modelPath": "models/x/", "nCtx": 512,
         "status": "not loaded", "inTokens": 0, "outTokens": 0},
        {"id": "d", "name": "가나다라마바사아자차카타", "modelPath": "-", "nCtx": 256, "status": "", "inTokens": 0, "outTokens": 0},
        {"id": "e"},
        {"id": "f", "name": "🚀 launch", "modelPath": "plain.gguf", "nCtx": 8192, "status": "stopping",
         "inTokens": 1, "outTokens": 2}
      ]}})");
    const std::string expected =
        "\n=== Brisvane Status ===\n\n"
        "[Process]\n"
        "  Status      : running\n"
        "  Port        : 4092\n"
        "  Brisvane ID : dev-7\n"
        "\n[Halvoro Connection]\n"
        "  Gateway     : connected\n"
        "\n[Mivrels]  6 registered, 3 loaded\n"
        "  NAME                    MODEL                              CTX  STATUS       IN / OUT\n"
        "  ----------------------  ------------------------------  ------  -----------  ---------\n"
        "  한국어 모델             Qwen3-4B-Q4_K_M.gguf              4096  idle         120 / 45\n"
        "  中文助手                glm-4-9b-chat-with-a-long-nam…  131072  running      7 / 3000000000\n"
        "  日本語のアシスタント😀  (EMPTY)                            512  not loaded   0 / 0\n"
        "  가나다라마바사아자차…   -                                  256               0 / 0\n"
        "  -                       -                                    0  -            0 / 0\n"
        "  🚀 launch               plain.gguf                        8192  stopping     1 / 2\n"
        "\n";
    std::string golden = expected;
    golden.replace(golden.find("(EMPTY)"), 7, "       ");
    EXPECT_EQ(formatStatusReport(status), golden);
}

// Instance names, device ids and states come from the server, and any client
// can set a name: their escape bytes are shown, never sent to the terminal.
TEST(StatusReport, ServerTextShowsControlCharactersAsEscapes) {
    const json status = {
        {"process", {{"port", 4092}, {"brisvaneId", "dev\x1b]0;owned\x07"}, {"gatewayStatus", "up\x1b[2J"}}},
        {"inference",
         {{"mivrels",
           json::array({{{"name", "\x1b[2J\x1b[31mred"},
                         {"modelPath", "models/a/\x1b[Hx.gguf"},
                         {"status", "idle\r\n"},
                         {"nCtx", 1}},
                        {{"name", "c1 \xc2\x9b" "31m \x7f"}, {"modelPath", "-"}, {"status", "idle"}}})}}}};
    const std::string report = formatStatusReport(status);
    for (const char c : report) {
        const auto byte = static_cast<unsigned char>(c);
        EXPECT_TRUE(byte >= 0x20 || c == '\n') << "control byte " << int(byte) << " in:\n" << report;
        EXPECT_NE(byte, 0x7F);
    }
    EXPECT_EQ(report.find("\xc2\x9b"), std::string::npos) << "a C1 control (CSI) reached the terminal";
    EXPECT_NE(report.find("  Brisvane ID : dev\\x1B]0;owned\\x07\n"), std::string::npos) << report;
    EXPECT_NE(report.find("  Gateway     : up\\x1B[2J\n"), std::string::npos) << report;
    EXPECT_NE(report.find("  \\x1B[2J\\x1B[31mred      \\x1B[Hx.gguf"), std::string::npos) << report;
    EXPECT_NE(report.find("idle\\r\\n"), std::string::npos) << report;
    EXPECT_NE(report.find("c1 \\u009B31m \\x7F"), std::string::npos) << report;
}

TEST(StatusReport, DefaultsGatewayTextsAndCounts) {
    struct Case {
        json status;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {json::object(),
         {"  Port        : 0\n", "  Brisvane ID : (not registered)\n",
          "  Gateway     : not registered — run 'brisvane up'\n", "[Mivrels]  0 registered, 0 loaded\n"}},
        {{{"process", {{"gatewayStatus", "down"}}}, {"inference", {{"activeMivrelCount", 3}, {"mivrels", json::array()}}}},
         {"  Gateway     : not active — run 'brisvane up'\n", "[Mivrels]  3 registered, 0 loaded\n"}},
        {{{"process", {{"gatewayStatus", "connecting"}}}}, {"  Gateway     : connecting to Halvoro…\n"}},
        {{{"process", {{"gatewayStatus", "disconnected"}}}}, {"  Gateway     : connecting to Halvoro…\n"}},
        {{{"process", {{"gatewayStatus", "odd"}}}}, {"  Gateway     : odd\n"}},
    };
    for (const Case& c : cases) {
        const std::string report = formatStatusReport(c.status);
        for (const std::string& line : c.lines) EXPECT_NE(report.find(line), std::string::npos) << report;
        EXPECT_EQ(report.find("NAME"), std::string::npos) << "no table without instances";
        EXPECT_EQ(report.substr(report.size() - 2), "\n\n");
    }
}

TEST(StatusReport, UnexpectedShapeIsAnErrorAndNotRunningHasItsOwnReport) {
    EXPECT_THROW(formatStatusReport(json::parse(R"({"process": "x"})")), json::exception);
    EXPECT_THROW(formatStatusReport(json::parse(R"({"process": {"port": "4092"}})")), json::exception);
    EXPECT_EQ(notRunningReport(),
              "\n=== Brisvane Status ===\n\n[Process]\n  Status      : not running\n\n[Mivrels]\n"
              "  (unavailable — brisvanesrv is not running)\n\n");
}

}  // namespace
