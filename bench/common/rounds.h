// Rounds of a benchmark that compares two sides (ours against a reference).
// Running one side always first favours or penalises it (warm caches, clock
// frequency, the page cache), and one run says little on a shared machine:
// the sides alternate order every round and each figure is summarised by its
// median over at least kMinRounds rounds, with its min and max.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace bench {

constexpr int kMinRounds = 10;

// The number of rounds to run: `defaultRounds`, or the value of the
// environment variable BRISVANE_BENCH_ROUNDS when it is a positive number (a
// quick smoke run takes 1 or 2). Prints a note when the count is below
// kMinRounds, since a median of so few says little.
int roundCount(int defaultRounds);

// Runs `rounds` rounds: A then B in even rounds (0, 2, ...), B then A in odd
// ones. Each side gets the round's number and returns false when it failed;
// the rounds stop at the first failure and the result is false.
bool alternateRounds(int rounds, const std::function<bool(int round)>& sideA,
                     const std::function<bool(int round)>& sideB);

// Median (the mean of the middle two for an even count), min and max of a
// series; all zero for an empty one.
struct Spread {
    double median = 0;
    double min = 0;
    double max = 0;
    size_t count = 0;
};
Spread spreadOf(std::vector<double> values);

// The series with every value multiplied by `factor` (seconds to ms) or, with
// `invert`, `factor` divided by every value (seconds to a rate).
std::vector<double> scaled(const std::vector<double>& values, double factor, bool invert = false);

// "<median> (min <min>, max <max>, n <count>)", each figure printed with
// `format` (a printf format of one double).
std::string describe(const Spread& spread, const char* format = "%.1f");

// Ratio of two medians (A / B); 0 when B's median is 0.
double medianRatio(const std::vector<double>& a, const std::vector<double>& b);

}  // namespace bench
