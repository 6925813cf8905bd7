// Processor times of the whole system from /proc/stat: the first "cpu" line
// summed over all processors, in clock ticks since boot.
#pragma once

#include <cstdint>
#include <string>

struct ProcessorTimes {
    uint64_t total = 0;  // every state, idle included
    uint64_t idle = 0;   // idle and waiting for I/O
};

// The times of the aggregate "cpu" line of `text` (the content of /proc/stat).
// False when there is no such line or it has fewer than four numbers. Guest
// times are left out: the kernel already counts them in user time.
bool parseProcessorTimes(const std::string& text, ProcessorTimes& times);

// parseProcessorTimes of procRoot + "/stat". False when it cannot be read.
// Never throws; safe from any thread.
bool readProcessorTimes(const std::string& procRoot, ProcessorTimes& times);

// The busy share between two samples in percent, clamped to 0..100; -1 when
// `later` did not advance the total (no time passed, or a counter went back).
double busyPercentBetween(const ProcessorTimes& earlier, const ProcessorTimes& later);
