// The gate that collapses repeated log lines: the first of a kind passes,
// the same kind within the interval is counted, the next one after it
// passes with the count, kinds are apart, and drain reports what is held.
#include "base/repeat_gate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

TEST(RepeatGate, OneLinePerIntervalWithTheCountOfTheOthers) {
    RepeatGate gate(10s);
    const RepeatGate::Clock::time_point t0{};
    uint64_t held = 99;
    EXPECT_TRUE(gate.admit("a", t0, &held));
    EXPECT_EQ(held, 0u);
    for (int i = 1; i <= 500; ++i) EXPECT_FALSE(gate.admit("a", t0 + std::chrono::milliseconds(i), &held));
    EXPECT_TRUE(gate.admit("b", t0 + 1s, &held)) << "another kind is apart";
    EXPECT_EQ(held, 0u);
    EXPECT_FALSE(gate.admit("a", t0 + 9s, &held));
    EXPECT_TRUE(gate.admit("a", t0 + 10s, &held));
    EXPECT_EQ(held, 501u);
    EXPECT_FALSE(gate.admit("a", t0 + 11s, &held));
    EXPECT_FALSE(gate.admit("b", t0 + 2s, &held));

    auto drained = gate.drain();
    std::sort(drained.begin(), drained.end());
    EXPECT_EQ(drained, (std::vector<std::pair<std::string, uint64_t>>{{"a", 1}, {"b", 1}}));
    EXPECT_TRUE(gate.admit("a", t0 + 12s, &held)) << "drain starts every kind afresh";
    EXPECT_EQ(held, 0u);
}

TEST(RepeatGate, RemembersABoundedNumberOfKinds) {
    RepeatGate gate(10s, 4);
    const RepeatGate::Clock::time_point t0{};
    uint64_t held = 0;
    EXPECT_TRUE(gate.admit("old", t0, &held));
    EXPECT_FALSE(gate.admit("old", t0 + 1ms, &held));
    for (int i = 0; i < 100; ++i) gate.admit("k" + std::to_string(i), t0 + std::chrono::milliseconds(10 + i), &held);
    const auto drained = gate.drain();
    EXPECT_NE(std::find(drained.begin(), drained.end(), std::make_pair(std::string("old"), uint64_t{1})),
              drained.end())
        << "a forgotten kind's count is still reported";
}

TEST(RepeatGate, KindsIgnoreDigits) {
    EXPECT_EQ(repeatKindOf("rid=123 too_many_data_channels: 64 open"), "rid=# too_many_data_channels: # open");
    EXPECT_EQ(repeatKindOf("connect_local_failed: Connection refused"), "connect_local_failed: Connection refused");
    EXPECT_EQ(repeatKindOf("127.0.0.1:4092"), "#.#.#.#:#");
}

}  // namespace
