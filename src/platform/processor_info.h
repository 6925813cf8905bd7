// What the processors are: the model name and logical processor count from
// /proc/cpuinfo, and how many of them this process may run on.
#pragma once

#include <string>

struct ProcessorInfo {
    std::string modelName;  // first "model name" line; "" when none
    int logicalCount = 0;   // "processor" entries; at least 1
};

// From `text` (the content of /proc/cpuinfo). A text without "processor"
// lines gives the count the C library reports (sysconf), at least 1.
ProcessorInfo parseProcessorInfo(const std::string& text);

// parseProcessorInfo of procRoot + "/cpuinfo"; an unreadable file gives an
// empty name and the C library's count. Never throws.
ProcessorInfo readProcessorInfo(const std::string& procRoot);

// The online logical processor count of the C library, at least 1.
int onlineProcessorCount();

// The processors in this process's affinity mask (sched_getaffinity);
// `fallback` when the mask cannot be read or is empty. Safe from any thread.
int affinityProcessorCount(int fallback);
