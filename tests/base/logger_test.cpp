#include "base/logger.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "base/library_log.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

// The logger's settings are process-wide and one-way (a log file turns colours
// off for good), so each case runs in a child process with standard output
// sent to a file.
std::string consoleOutputOf(const std::function<void()>& body) {
    TempDir dir;
    const std::string out = dir.file("stdout");
    const int status = runInChild([&] {
        std::FILE* f = std::freopen(out.c_str(), "w", stdout);
        if (!f) ::_exit(3);
        body();
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return readTextFile(out);
}

TEST(Logger, ConsoleLineCarriesColourOfItsLevel) {
    struct Case { int level; const char* sequence; };
    const Case cases[] = {
        {1, "\033[1;31m"}, {2, "\033[1;33m"}, {3, "\033[1;32m"}, {4, "\033[0;37m"}, {5, "\033[0;37m"},
        {6, "\033[1;35m"}, {7, "\033[1;36m"}, {8, "\033[38;5;205m"}, {9, "\033[0;36m"}, {0, "\033[0;37m"},
    };
    for (const Case& c : cases) {
        const std::string got = consoleOutputOf([&] {
            setLogLevel(9);
            logMessage(c.level, "[t] %s %d", "x", 7);
        });
        EXPECT_EQ(got, std::string(c.sequence) + "[t] x 7\033[0m\n") << "level " << c.level;
    }
}

TEST(Logger, LevelGateDropsLinesAboveTheLimit) {
    const std::string got = consoleOutputOf([] {
        int dropped = logMessage(3, "hidden");  // default limit is 2
        int written = logMessage(2, "shown");
        std::printf("|%d %d", dropped, written);
    });
    EXPECT_EQ(got, "\033[1;33mshown\033[0m\n|0 5");
}

TEST(Logger, DisabledLoggerWritesNothing) {
    const std::string got = consoleOutputOf([] {
        setLogEnabled(false);
        std::printf("%d", logMessage(1, "gone"));
    });
    EXPECT_EQ(got, "0");
}

TEST(Logger, FileOutputHasNoColourAndRawLinesJoin) {
    TempDir dir;
    const std::string logPath = dir.file("brisvane.log");
    const std::string console = consoleOutputOf([&] {
        setLogLevel(3);
        setLogFile(nullptr);  // ignored: still the console
        logMessage(3, "before");
        setLogFile(std::fopen(logPath.c_str(), "w"));
        logMessageRaw(3, "part %s", "one,");
        logMessage(3, " then %s", "two");
        logMessage(4, "above limit");
    });
    EXPECT_EQ(console, "\033[1;32mbefore\033[0m\n");
    EXPECT_EQ(readTextFile(logPath), "part one, then two\n");
}

TEST(Logger, LongLinesAreWrittenWhole) {
    const std::string text(100000, 'a');
    const std::string got = consoleOutputOf([&] {
        setLogFile(stdout);
        std::printf("%d\n", logMessage(1, "%s", text.c_str()));
    });
    EXPECT_EQ(got, text + "\n100000\n");
}

// Library callbacks: what reaches the log for each (mode, level, text).
struct CallbackCase {
    const char* name;
    bool developer;
    int configured;
    bool withUser;
    bool llama;  // llamaLogCallback, else ggmlLogCallback
    int level;
    const char* text;
    const char* expected;
};

class LibraryLogCallbacks : public ::testing::TestWithParam<CallbackCase> {};

TEST_P(LibraryLogCallbacks, RouteAndFilter) {
    const CallbackCase& c = GetParam();
    const std::string got = consoleOutputOf([&] {
        setLogFile(stdout);
        setLogLevel(9);
        developerMode = c.developer;
        configuredLogLevel = c.configured;
        void* user = c.withUser ? static_cast<void*>(stderr) : nullptr;
        const int level = c.level;
        if (c.llama) llamaLogCallback(level, c.text, user);
        else ggmlLogCallback(level, c.text, user);
    });
    EXPECT_EQ(got, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LibraryLogCallbacks,
    ::testing::Values(
        CallbackCase{"ggml_null_user", true, 9, false, false, 4, "x\n", ""},
        CallbackCase{"ggml_not_developer", false, 9, true, false, 4, "x\n", ""},
        CallbackCase{"ggml_error", true, 9, true, false, 4, "boom\n", "[GGML_ERROR] boom\n"},
        CallbackCase{"ggml_warn", true, 2, true, false, 3, "w\n", "[GGML_WARN] w\n"},
        CallbackCase{"ggml_info_needs_4", true, 3, true, false, 2, "i\n", ""},
        CallbackCase{"ggml_info", true, 4, true, false, 2, "i\n", "[GGML_INFO] i\n"},
        CallbackCase{"ggml_debug_needs_5", true, 4, true, false, 1, "d\n", ""},
        CallbackCase{"ggml_debug", true, 5, true, false, 1, "d\n", "[GGML_DEBUG] d\n"},
        CallbackCase{"ggml_continuation", true, 9, true, false, 5, "c\n", "[] c\n"},
        CallbackCase{"llama_null_user", true, 9, false, true, 4, "x\n", ""},
        CallbackCase{"llama_continuation", true, 9, true, true, 5, "more", "more"},
        CallbackCase{"llama_error", true, 2, true, true, 4, "e\n", "[LLAMA_ERROR] e\n"},
        CallbackCase{"llama_warn", true, 2, true, true, 3, "w\n", "[LLAMA_WARN] w\n"},
        CallbackCase{"llama_info", true, 4, true, true, 2, "i\n", "[LLAMA_INFO] i\n"},
        CallbackCase{"llama_info_needs_4", true, 2, true, true, 2, "i\n", ""},
        CallbackCase{"llama_debug", true, 9, true, true, 1, "d\n", "[LLAMA_DEBUG] d\n"},
        CallbackCase{"llama_debug_cuda_graph", true, 9, true, true, 1, "CUDA Graph x\n", ""},
        CallbackCase{"llama_debug_cuda_compute", true, 9, true, true, 1, "ggml_backend_cuda_graph_compute: y\n", ""},
        CallbackCase{"llama_debug_state_write", true, 9, true, true, 1, "in state_write_data: z\n", ""},
        CallbackCase{"llama_unknown_level", true, 9, true, true, 0, "u\n", "0[LLAMA_??] u\n"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
