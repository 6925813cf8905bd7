#include "common/rounds.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace bench {

int roundCount(int defaultRounds) {
    int rounds = defaultRounds;
    if (const char* text = std::getenv("BRISVANE_BENCH_ROUNDS")) {
        char* end = nullptr;
        const long value = std::strtol(text, &end, 10);
        if (end != text && *end == '\0' && value > 0 && value <= 100000) rounds = static_cast<int>(value);
    }
    if (rounds < kMinRounds) {
        std::printf("note: %d round(s), fewer than %d: a smoke run, not a measurement\n", rounds, kMinRounds);
    }
    return rounds;
}

bool alternateRounds(int rounds, const std::function<bool(int round)>& sideA,
                     const std::function<bool(int round)>& sideB) {
    for (int round = 0; round < rounds; ++round) {
        const bool aFirst = round % 2 == 0;
        const auto& first = aFirst ? sideA : sideB;
        const auto& second = aFirst ? sideB : sideA;
        if (!first(round) || !second(round)) return false;
    }
    return true;
}

Spread spreadOf(std::vector<double> values) {
    Spread s;
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    s.count = n;
    s.min = values.front();
    s.max = values.back();
    s.median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return s;
}

std::vector<double> scaled(const std::vector<double>& values, double factor, bool invert) {
    std::vector<double> out;
    out.reserve(values.size());
    for (double v : values) out.push_back(invert ? (v != 0 ? factor / v : 0) : v * factor);
    return out;
}

std::string describe(const Spread& spread, const char* format) {
    auto number = [format](double v) {
        char buf[64];
        std::snprintf(buf, sizeof(buf), format, v);
        return std::string(buf);
    };
    return number(spread.median) + " (min " + number(spread.min) + ", max " + number(spread.max) + ", n " +
           std::to_string(spread.count) + ")";
}

double medianRatio(const std::vector<double>& a, const std::vector<double>& b) {
    const double denominator = spreadOf(b).median;
    return denominator != 0 ? spreadOf(a).median / denominator : 0;
}

}  // namespace bench
