// The configuration file's syntax and the rules that turn its keys into the
// server's settings.
#include <gtest/gtest.h>

#include <filesystem>

#include "config/server_config.h"
#include "support/temp_dir.h"

namespace {

class ServerConfigTest : public ::testing::Test {
protected:
    void SetUp() override { ServerConfig::resetToDefaults(); }
    void TearDown() override { ServerConfig::resetToDefaults(); }

    int apply(const std::string& text, std::string* error = nullptr) {
        std::string ignored;
        return applyServerConfig(parseConfText(text), error ? error : &ignored);
    }
};

TEST_F(ServerConfigTest, ParsesLinesCommentsAndDuplicates) {
    const auto values = parseConfText(
        "# header\n"
        "SERV_PORT = 4100 # port\n"
        "KEY = a=b\n"
        "=no key\n"
        "no equals sign\n"
        "\n"
        "  SPACED\t=\t value \r\n"
        "DUP=1\nDUP=2\n"
        "serv_port=1\n"
        "EMPTY=\n"
        "HASH=a#b\n");
    const std::map<std::string, std::string> expected = {{"DUP", "2"},       {"EMPTY", ""},       {"HASH", "a"},
                                                         {"KEY", "a=b"},     {"SERV_PORT", "4100"}, {"SPACED", "value"},
                                                         {"serv_port", "1"}};
    EXPECT_EQ(values, expected);
}

TEST_F(ServerConfigTest, AppliesKeysByTheirRules) {
    ASSERT_EQ(apply("SERV_IP=\nSERV_PORT=8080x\nLOCAL_V1_ACCESS=true\nDIR_MODELS=\nDIR_MIVREL=inst\n"
                    "WEBAPP_FILE_PATH=\nWEBAPP_PUBLIC_PATH=/pub\nRTC_LOCAL_MODE=socket\nMAIN_LOG_FILE=x.log\n"
                    "UNKNOWN=1\n"),
              0);
    EXPECT_EQ(ServerConfig::SERV_IP, "") << "a present key replaces the default, even empty";
    EXPECT_EQ(ServerConfig::SERV_PORT, 8080);
    EXPECT_TRUE(ServerConfig::LOCAL_V1_ACCESS);
    EXPECT_EQ(ServerConfig::DIR_MODELS, "models") << "an empty value keeps the default";
    EXPECT_EQ(ServerConfig::DIR_MIVREL, "inst");
    EXPECT_EQ(ServerConfig::DIR_LOGS, "logs");
    EXPECT_EQ(ServerConfig::WEBAPP_FILE_PATH, "");
    EXPECT_EQ(ServerConfig::WEBAPP_PUBLIC_PATH, "/pub");
    EXPECT_EQ(ServerConfig::RTC_LOCAL_MODE, "socket");
    EXPECT_EQ(ServerConfig::MAIN_LOG_FILE, "x.log");

    ServerConfig::resetToDefaults();
    ASSERT_EQ(apply("LOCAL_V1_ACCESS=TRUE\nRTC_LOCAL_MODE=Memory\nSERV_PORT=41 00\n"), 0);
    EXPECT_FALSE(ServerConfig::LOCAL_V1_ACCESS);
    EXPECT_EQ(ServerConfig::RTC_LOCAL_MODE, "memory");
    EXPECT_EQ(ServerConfig::SERV_PORT, 41);
    EXPECT_EQ(ServerConfig::SERV_IP, "localhost");
}

TEST_F(ServerConfigTest, PortOutsideItsRangeIsAConfigurationError) {
    for (const char* value : {"0", "-1", "65536", "70000", "99999999999999"}) {
        ServerConfig::resetToDefaults();
        std::string error;
        EXPECT_EQ(apply(std::string("SERV_PORT=") + value, &error), 1011) << value;
        EXPECT_EQ(error, std::string("SERV_PORT out of range (1..65535): ") + value);
        EXPECT_EQ(ServerConfig::SERV_PORT, 4092);
    }
    EXPECT_EQ(apply("SERV_PORT=1"), 0);
    EXPECT_EQ(apply("SERV_PORT=65535"), 0);
    EXPECT_THROW(apply("SERV_PORT=abc"), std::invalid_argument);
    EXPECT_THROW(apply("SERV_PORT="), std::invalid_argument);
}

TEST_F(ServerConfigTest, PathHelpers) {
    for (const char* path : {"/x", "C:\\x", "c:/x", "\\\\server\\share"}) EXPECT_TRUE(isAbsolutePath(path)) << path;
    for (const char* path : {"C:", "C:x", "\\x", "models", ""}) EXPECT_FALSE(isAbsolutePath(path)) << path;

    TempDir dir;
    std::filesystem::create_directories(dir.file("models/m1"));
    ServerConfig::DIR_MODELS = dir.file("models");
    EXPECT_EQ(resolveModelStoragePath("m1", "fallback"), dir.file("models/m1"));
    EXPECT_EQ(resolveModelStoragePath("m2", "fallback"), "fallback");
    EXPECT_EQ(resolveModelStoragePath("", "fallback"), "fallback");
}

}  // namespace
