// The machine's load average around a benchmark run. Figures measured while
// other work runs are not comparable, so every benchmark prints the load
// before and after and warns when the machine was busy.
#pragma once

namespace bench {

// One-minute load average above which the figures are called unreliable.
constexpr double kBusyLoad = 2.0;

// Prints "<program>: load average <when> 1m 5m 15m" to stdout, then a warning
// line when the one-minute figure is above kBusyLoad. Prints nothing when the
// load cannot be read.
void printLoadAverage(const char* program, const char* when);

// Prints the load "before" when made and "after" when destroyed, so every way
// out of a benchmark's main reports both.
class LoadAverageReport {
public:
    explicit LoadAverageReport(const char* program);
    ~LoadAverageReport();
    LoadAverageReport(const LoadAverageReport&) = delete;
    LoadAverageReport& operator=(const LoadAverageReport&) = delete;

private:
    const char* program_;
};

}  // namespace bench
