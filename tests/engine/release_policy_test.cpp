#include <gtest/gtest.h>

#include "base/text_util.h"
#include "engine/mivrel.h"
#include "engine/mivrel_claim.h"
#include "engine/release_policy.h"
#include "engine_test_util.h"

namespace {

const char kFormatWarning[] = "release_policy 형식 오류";
const char kUnknownWarning[] = "release_policy 알 수 없는 값";

struct GrammarCase {
    nlohmann::json text;
    const char* kind;
    int minutes;
    const char* shown;
    const char* warning;  // null: none
};

TEST(ReleasePolicyTest, GrammarOfInstancePolicies) {
    const GrammarCase cases[] = {
        {"keep", "keep", 0, "keep", nullptr},
        {"after_generate", "after_generate", 0, "after_generate", nullptr},
        {"idle:10", "idle", 10, "idle:10", nullptr},
        {"idle:007", "idle", 7, "idle:7", nullptr},
        {"idle:0", "after_generate", 0, "after_generate", nullptr},
        {"idle:2147483647", "idle", 2147483647, "idle:2147483647", nullptr},
        {"idle:", "keep", 0, "keep", kFormatWarning},
        {"idle:5m", "keep", 0, "keep", kFormatWarning},
        {"idle: 5", "keep", 0, "keep", kFormatWarning},
        {"idle:-5", "keep", 0, "keep", kFormatWarning},
        {"idle:2147483648", "keep", 0, "keep", kFormatWarning},
        {"idle:99999999999", "keep", 0, "keep", kFormatWarning},
        {"idle", "keep", 0, "keep", kUnknownWarning},
        {"Keep", "keep", 0, "keep", kUnknownWarning},
        {"never", "keep", 0, "keep", kUnknownWarning},
        {"", "keep", 0, "keep", kUnknownWarning},
    };
    for (const GrammarCase& c : cases) {
        SCOPED_TRACE(c.text.dump());
        LogCapture log;
        const ReleasePolicy p =
            resolveReleasePolicy("m1", {{"release_policy", c.text}}, nlohmann::json::object(), "LLM");
        EXPECT_EQ(p.kind, c.kind);
        EXPECT_EQ(p.idleMinutes, c.minutes);
        EXPECT_EQ(p.text, c.shown);
        EXPECT_EQ(p.source, "mivrel");
        if (c.warning) {
            EXPECT_TRUE(log.contains(std::string("[Mivrel] m1 ") + c.warning + " \"" + c.text.get<std::string>() +
                                     "\" → keep"))
                << log.text();
        } else {
            EXPECT_EQ(log.text(), "");
        }
    }
}

TEST(ReleasePolicyTest, LookupOrderInstanceThenModelThenFamily) {
    const nlohmann::json model = {{"loadDefaults", {{"release_policy", "idle:3"}}}};
    struct Case {
        nlohmann::json params;
        nlohmann::json model;
        const char* family;
        const char* text;
        const char* source;
    };
    const Case cases[] = {
        {{{"release_policy", "after_generate"}}, model, "LLM", "after_generate", "mivrel"},
        {{{"release_policy", 5}}, model, "LLM", "idle:3", "model"},  // a number is ignored
        {nlohmann::json::object(), model, "IMAGE", "idle:3", "model"},
        {nlohmann::json::object(), {{"loadDefaults", {{"release_policy", 1}}}}, "LLM", "keep", "default"},
        {nlohmann::json::object(), {{"loadDefaults", "idle:4"}}, "LLM", "keep", "default"},
        {nlohmann::json::object(), nlohmann::json::object(), "IMAGE", "idle:10", "default"},
        {nlohmann::json::object(), nlohmann::json::object(), "VIDEO", "idle:10", "default"},
        {nlohmann::json::object(), nlohmann::json::object(), "AUDIO", "keep", "default"},
        {nlohmann::json::object(), nlohmann::json::object(), "LLM", "keep", "default"},
        {nullptr, nullptr, "DECISION", "keep", "default"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.params.dump() + " " + c.model.dump() + " " + c.family);
        const ReleasePolicy p = resolveReleasePolicy("m", c.params, c.model, c.family);
        EXPECT_EQ(p.text, c.text);
        EXPECT_EQ(p.source, c.source);
    }
    const ReleasePolicy image = resolveReleasePolicy("m", {}, {}, "IMAGE");
    EXPECT_EQ(image.kind, "idle");
    EXPECT_EQ(image.idleMinutes, 10);
}

TEST(ReleasePolicyTest, RefusedModelTextKeepsItsSource) {
    LogCapture log;
    const ReleasePolicy p = resolveReleasePolicy("m", {}, {{"loadDefaults", {{"release_policy", "soon"}}}}, "LLM");
    EXPECT_EQ(p.kind, "keep");
    EXPECT_EQ(p.source, "model");
    EXPECT_TRUE(log.contains(kUnknownWarning));
}

TEST(ReleasePolicyTest, FormatsReleaseTimesInUtcWithMilliseconds) {
    EXPECT_EQ(formatReleaseTimeMs(0), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(formatReleaseTimeMs(1733788800123LL), "2024-12-10T00:00:00.123Z");
}

class ReleaseStatusTest : public testing::Test {
protected:
    void SetUp() override { mivrel->config.loadSettings.params = {{"release_policy", "idle:10"}}; }
    void load() {
        MivrelClaim claim = MivrelClaim::acquire(mivrel, ClaimKind::kLoad);
        ASSERT_TRUE(claim);
        claim.ensureEngine();
    }

    FakeEngineMaker maker;
    std::shared_ptr<Mivrel> mivrel = [] {
        auto made = std::make_shared<Mivrel>();
        made->engineMaker = FakeEngineMaker::make();
        return made;
    }();
};

TEST_F(ReleaseStatusTest, UnusedOrUnloadedInstanceHasNoReleaseTime) {
    nlohmann::json status = mivrel->releaseStatusJson();
    EXPECT_EQ(status["policy"], "idle:10");
    EXPECT_EQ(status["source"], "mivrel");
    EXPECT_EQ(status["idle_minutes"], 10);
    EXPECT_TRUE(status["last_active_at"].is_null());
    EXPECT_TRUE(status["release_at"].is_null());
    EXPECT_TRUE(status["release_in_sec"].is_null());
    EXPECT_EQ(status.size(), 6u);

    mivrel->lastActiveAt = nowMs();  // used, but no engine
    status = mivrel->releaseStatusJson();
    EXPECT_TRUE(status["last_active_at"].is_string());
    EXPECT_TRUE(status["release_at"].is_null());
}

TEST_F(ReleaseStatusTest, LoadedIdleInstanceCountsDownFromItsLastUse) {
    load();
    mivrel->lastActiveAt = nowMs() - 9 * 60000;
    nlohmann::json status = mivrel->releaseStatusJson();
    ASSERT_TRUE(status["release_in_sec"].is_number_integer());
    EXPECT_GE(status["release_in_sec"].get<int64_t>(), 58);
    EXPECT_LE(status["release_in_sec"].get<int64_t>(), 60);
    EXPECT_EQ(status["release_at"], formatReleaseTimeMs(mivrel->lastActiveAt.load() + 600000));

    mivrel->lastActiveAt = nowMs() - 11 * 60000;  // overdue: never below 0
    EXPECT_EQ(mivrel->releaseStatusJson()["release_in_sec"], 0);

    mivrel->state = kMivrelRunning;  // running: no release time
    EXPECT_TRUE(mivrel->releaseStatusJson()["release_at"].is_null());
    mivrel->state = kMivrelIdle;
}

TEST_F(ReleaseStatusTest, KeepPolicyShowsNullMinutes) {
    mivrel->config.loadSettings.params = nlohmann::json::object();
    load();
    const nlohmann::json status = mivrel->releaseStatusJson();
    EXPECT_EQ(status["policy"], "keep");
    EXPECT_EQ(status["source"], "default");
    EXPECT_TRUE(status["idle_minutes"].is_null());
    EXPECT_TRUE(status["release_at"].is_null());
}

TEST_F(ReleaseStatusTest, ReleaseAfterGenerateUnloadsOnlyUnderThatPolicy) {
    load();
    MivrelClaim claim = MivrelClaim::acquire(mivrel, ClaimKind::kRun);
    ASSERT_TRUE(claim);
    EXPECT_FALSE(claim.releaseAfterGenerate());  // "idle:10"
    EXPECT_TRUE(mivrel->hasEngine());
    EXPECT_EQ(mivrel->state.load(), kMivrelRunning);

    mivrel->config.loadSettings.params = {{"release_policy", "after_generate"}};
    LogCapture log;
    EXPECT_TRUE(claim.releaseAfterGenerate());
    EXPECT_FALSE(mivrel->hasEngine());
    EXPECT_EQ(mivrel->state.load(), kMivrelIdle);
    EXPECT_TRUE(log.contains("release_policy=after_generate → 생성 종료 후 모델 해제"));
    claim.release();  // already ended: changes nothing
    EXPECT_EQ(mivrel->lastActiveAt.load(), 0);
}

}  // namespace
