#include "base/utf8.h"
#include "config/event_manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "base/logger.h"
#include "platform/file_io.h"
#include "support/address_space_cap.h"
#include "support/temp_dir.h"

namespace {

std::vector<std::string> fileLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(readTextFile(path));
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::vector<std::string> idsOf(const std::vector<EventRecord>& records) {
    std::vector<std::string> ids;
    for (const auto& r : records) ids.push_back(r.eventId);
    return ids;
}

std::atomic<int> gDurableSteps{0};
void countStep(int) { ++gDurableSteps; }

class EventManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        setLogLevel(0);
        gDurableSteps = 0;
    }
    void TearDown() override {
        setLogLevel(2);
    }
    std::string path() const { return dir_.file("events.jsonl"); }

    TempDir dir_;
};

TEST_F(EventManagerTest, AFreshLogNumbersFromOneAndContinuesAfterARestart) {
    {
        auto log = openEventLog(dir_.path());
        EXPECT_EQ(log->filePath(), path());
        log->add("info", "system", "server", "Server started", "bind=127.0.0.1:4092");
        const auto records = log->recent(0);
        ASSERT_EQ(records.size(), 1u);
        const EventRecord& r = records[0];
        EXPECT_EQ(r.eventId, "ev-00001");
        EXPECT_TRUE(std::regex_match(r.time, std::regex("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$"))) << r.time;
        EXPECT_EQ(readTextFile(path()),
                  "{\"actor\":\"server\",\"category\":\"system\",\"detail\":\"bind=127.0.0.1:4092\","
                  "\"eventId\":\"ev-00001\",\"level\":\"info\",\"text\":\"Server started\",\"time\":\"" +
                      r.time + "\"}\n");
    }
    EventManager reopened(path(), kEventLogCapacity, countStep);
    reopened.add("error", "mivrel", "m1", "Mivrel unloaded", "");
    EXPECT_EQ(idsOf(reopened.recent(0)), (std::vector<std::string>{"ev-00002", "ev-00001"}));
    EXPECT_EQ(fileLines(path()).size(), 2u);
}

TEST_F(EventManagerTest, KeepsTheNewestRecordsAndCutsALongFileAtLoad) {
    {
        EventManager log(path(), kEventLogCapacity, countStep);
        for (int i = 0; i < 600; ++i) log.add("info", "system", "server", "event " + std::to_string(i + 1), "");
        const auto records = log.recent(0);
        ASSERT_EQ(records.size(), 500u);
        EXPECT_EQ(records.front().eventId, "ev-00600");
        EXPECT_EQ(records.back().eventId, "ev-00101");
        EXPECT_EQ(fileLines(path()).size(), 600u);  // appends only until a rewrite
        EXPECT_EQ(gDurableSteps, 0);
    }
    EventManager reopened(path(), kEventLogCapacity, countStep);
    EXPECT_EQ(gDurableSteps, 4);  // the cut is a durable replacement
    const auto lines = fileLines(path());
    ASSERT_EQ(lines.size(), 500u);
    EXPECT_NE(lines.front().find("\"ev-00101\""), std::string::npos);
    EXPECT_NE(lines.back().find("\"ev-00600\""), std::string::npos);
    const auto records = reopened.recent(0);
    ASSERT_EQ(records.size(), 500u);
    EXPECT_EQ(records.front().text, "event 600");
    reopened.add("info", "system", "server", "after restart", "");
    EXPECT_EQ(reopened.recent(1)[0].eventId, "ev-00601");
    EXPECT_EQ(fileLines(path()).size(), 501u);
}

TEST_F(EventManagerTest, LoadSkipsBadLinesAndTakesTheHighestNumber) {
    writeTextFile(path(),
                  "{\"eventId\":\"ev-00003\",\"text\":\"first\",\"level\":\"error\",\"category\":\"mivrel\"}\n"
                  "this is no json\n"
                  "{\"text\":\"no id\"}\n"
                  "\n"
                  "{\"eventId\":\"ev-12x\",\"text\":\"defaults\"}\n"
                  "{\"eventId\":5}\n"
                  "{\"eventId\":\"ev-00004\",\"detail\":7}\n"
                  "[\"ev-00099\"]\n"
                  "{\"eventId\":\"ab\"}\n"
                  "{\"eventId\":\"ev-  9\"}\n"
                  "{\"eventId\":\"ev-00005\",\"text\":\"cut off");  // a crash mid-append
    EventManager log(path(), kEventLogCapacity, countStep);
    const auto records = log.recent(0);
    EXPECT_EQ(idsOf(records), (std::vector<std::string>{"ev-  9", "ab", "ev-12x", "ev-00003"}));
    EXPECT_EQ(records[2].level, "info");
    EXPECT_EQ(records[2].category, "system");
    EXPECT_EQ(records[3].level, "error");
    EXPECT_EQ(records[3].category, "mivrel");
    EXPECT_EQ(gDurableSteps, 0);  // a short file is left as it is

    // The highest number loaded is 12; the new line does not join the cut-off one.
    log.add("info", "system", "server", "next", "");
    EXPECT_EQ(log.recent(1)[0].eventId, "ev-00013");
    const auto lines = fileLines(path());
    EXPECT_EQ(lines[lines.size() - 2], "{\"eventId\":\"ev-00005\",\"text\":\"cut off");
    EXPECT_TRUE(nlohmann::json::accept(lines.back())) << lines.back();
    EventManager reopened(path(), kEventLogCapacity, countStep);
    EXPECT_EQ(reopened.recent(1)[0].eventId, "ev-00013");
}

TEST_F(EventManagerTest, RemoveAndClearRewriteTheFile) {
    EventManager log(path(), kEventLogCapacity, countStep);
    for (int i = 0; i < 3; ++i) log.add("info", "system", "server", "e" + std::to_string(i), "");

    EXPECT_FALSE(log.remove("ev-00009"));
    EXPECT_FALSE(log.remove("ev-0000"));
    EXPECT_EQ(gDurableSteps, 0);
    EXPECT_EQ(fileLines(path()).size(), 3u);

    EXPECT_TRUE(log.remove("ev-00002"));
    EXPECT_EQ(gDurableSteps, 4);
    auto lines = fileLines(path());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("\"ev-00001\""), std::string::npos);
    EXPECT_NE(lines[1].find("\"ev-00003\""), std::string::npos);

    // Appends after a rewrite go to the new file.
    log.add("info", "system", "server", "e3", "");
    EXPECT_EQ(fileLines(path()).size(), 3u);

    log.clear();
    EXPECT_EQ(readTextFile(path()), "");
    EXPECT_TRUE(log.recent(0).empty());
    log.add("info", "system", "server", "after clear", "");
    EXPECT_EQ(log.recent(0)[0].eventId, "ev-00005");
    EXPECT_EQ(fileLines(path()).size(), 1u);
}

TEST_F(EventManagerTest, RecentReturnsTheNewestFirst) {
    EventManager log(path(), kEventLogCapacity, countStep);
    log.add("info", "system", "server", "a", "");
    log.add("info", "system", "server", "b", "");
    EXPECT_EQ(idsOf(log.recent(0)), (std::vector<std::string>{"ev-00002", "ev-00001"}));
    EXPECT_EQ(idsOf(log.recent(3)), (std::vector<std::string>{"ev-00002", "ev-00001"}));
    EXPECT_EQ(idsOf(log.recent(1)), (std::vector<std::string>{"ev-00002"}));
}

TEST_F(EventManagerTest, InvalidUtf8IsReplacedNotThrown) {
    EventManager log(path(), kEventLogCapacity, countStep);
    EXPECT_NO_THROW(log.add("info", "system", "act\xFF", "bad \xC0\x80 text", "cut \xE2\x82"));
    const EventRecord r = log.recent(1)[0];
    EXPECT_EQ(r.actor, "act\xEF\xBF\xBD");
    EXPECT_EQ(r.text, "bad \xEF\xBF\xBD\xEF\xBF\xBD text");
    EXPECT_EQ(r.detail, "cut \xEF\xBF\xBD");
    const auto lines = fileLines(path());
    ASSERT_EQ(lines.size(), 1u);
    const auto parsed = nlohmann::json::parse(lines[0]);
    EXPECT_EQ(parsed["text"], r.text);

    struct Case {
        std::string in, out;
    };
    const std::string fffd = "\xEF\xBF\xBD";
    for (const Case& c : std::vector<Case>{
             {"plain \xC3\xA9 \xE2\x80\x94 \xF0\x9F\x98\x80", "plain \xC3\xA9 \xE2\x80\x94 \xF0\x9F\x98\x80"},
             {"\xED\xA0\x80", fffd + fffd + fffd},      // a surrogate
             {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},  // above U+10FFFF
             {"\xE0\x80\xAF", fffd + fffd + fffd},      // over-long
             {"\xE2\x82" "A", fffd + "A"},              // truncated, then ASCII
             {"\x80", fffd},
         }) {
        EXPECT_EQ(replaceInvalidUtf8(c.in), c.out);
    }
}

TEST_F(EventManagerTest, WorksInMemoryWhenTheFileCannotBeOpened) {
    EventManager log(dir_.path() + "/missing-folder/events.jsonl", 3, countStep);
    for (int i = 0; i < 5; ++i) log.add("info", "system", "server", "e", "");
    EXPECT_EQ(idsOf(log.recent(0)), (std::vector<std::string>{"ev-00005", "ev-00004", "ev-00003"}));
    EXPECT_TRUE(log.remove("ev-00004"));
    log.clear();
    EXPECT_TRUE(log.recent(0).empty());
}

TEST_F(EventManagerTest, ConcurrentUseLosesNothing) {
    constexpr int kThreads = 8;
    constexpr int kAdds = 150;
    EventManager log(path(), kThreads * kAdds, countStep);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&log, t] {
            for (int i = 0; i < kAdds; ++i) {
                log.add("info", "system", "thread-" + std::to_string(t), "event", std::to_string(i));
                if (i % 50 == 0) {
                    log.recent(10);
                    log.remove("ev-none");
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();

    const auto records = log.recent(0);
    ASSERT_EQ(records.size(), static_cast<size_t>(kThreads * kAdds));
    const auto idList = idsOf(records);
    const std::set<std::string> ids(idList.begin(), idList.end());
    EXPECT_EQ(ids.size(), records.size());
    const auto lines = fileLines(path());
    ASSERT_EQ(lines.size(), records.size());
    for (const auto& line : lines) ASSERT_TRUE(nlohmann::json::accept(line)) << line;

    EventManager reopened(path(), kThreads * kAdds, countStep);
    EXPECT_EQ(reopened.recent(0).size(), records.size());
    reopened.add("info", "system", "server", "next", "");
    EXPECT_EQ(reopened.recent(1)[0].eventId, "ev-0" + std::to_string(kThreads * kAdds + 1));
}

// A client that makes events in a loop (a storage reset, say) must not fill
// the disk: the file is cut back to the kept records whenever it holds a few
// times as many, and records stay whole and numbered across every cut.
TEST_F(EventManagerTest, AFloodOfEventsKeepsTheFileBounded) {
    constexpr size_t kCapacity = 50;
    const size_t bound = kEventFileRewriteFactor * kCapacity;
    EventManager log(path(), kCapacity, countStep);
    size_t longest = 0;
    for (int i = 1; i <= 2000; ++i) {
        log.add("info", "mivrel", "m1", "Storage reset", std::to_string(i));
        if (i % 7 == 0) longest = std::max(longest, fileLines(path()).size());
    }
    EXPECT_LE(longest, bound);
    EXPECT_GT(gDurableSteps, 0);  // cut by durable replacement
    const auto lines = fileLines(path());
    ASSERT_GE(lines.size(), kCapacity);
    ASSERT_LE(lines.size(), bound);
    EXPECT_NE(lines.back().find("\"ev-02000\""), std::string::npos);
    for (const auto& line : lines) ASSERT_TRUE(nlohmann::json::accept(line)) << line;
    EXPECT_EQ(log.recent(0).size(), kCapacity);

    // One record's fields cannot make a line of megabytes either.
    log.add("info", "system", "server", std::string(1 << 20, 't'), std::string(1 << 20, 'd'));
    EXPECT_LT(fileLines(path()).back().size(), 3 * kEventFieldMaxBytes);
    EXPECT_EQ(log.recent(1)[0].text.size(), kEventFieldMaxBytes);
}

// A file that grew without bound before (an older version wrote it) is read
// from its end only: start-up costs the same for a gigabyte as for the
// newest records, and the file is cut back at once.
TEST_F(EventManagerTest, StartUpReadsOnlyTheEndOfAHugeFile) {
    std::string newest;
    for (int i = 1; i <= 600; ++i) {
        EventRecord record{"ev-" + std::to_string(1000000 + i), "2026-01-01T00:00:00Z", "info", "system",
                           "server", "event " + std::to_string(i), ""};
        newest += eventToJson(record) + "\n";
    }
    {
        // A gigabyte of old lines (sparse: NUL bytes cost no disk), then the
        // newest records.
        std::ofstream out(path(), std::ios::binary);
        out << "{\"eventId\":\"ev-1\"}\n";
        out.seekp((1ll << 30), std::ios::beg);
        out << "\n" << newest;
    }
    // Reading the whole file would need a gigabyte; the cap is far below.
    EXPECT_TRUE(runsWithinAddressSpace(512u << 20, [&] {
        EventManager log(path(), kEventLogCapacity);
        const auto records = log.recent(0);
        if (records.size() != kEventLogCapacity) ::_exit(3);
        if (records.front().text != "event 600" || records.back().text != "event 101") ::_exit(4);
        log.add("info", "system", "server", "after", "");
        if (log.recent(1)[0].eventId != "ev-1000601") ::_exit(5);
    }));
    // The parent reads it too (no cap): the file is cut to the kept records.
    EventManager log(path(), kEventLogCapacity, countStep);
    EXPECT_EQ(log.recent(0).size(), kEventLogCapacity);
    EXPECT_LT(std::filesystem::file_size(path()), size_t{1} << 20);
    EXPECT_EQ(fileLines(path()).size(), kEventLogCapacity);
}

}  // namespace
