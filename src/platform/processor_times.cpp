#include "platform/processor_times.h"

#include <sstream>

#include "platform/system_roots.h"

bool parseProcessorTimes(const std::string& text, ProcessorTimes& times) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, 4, "cpu ") != 0) continue;
        std::istringstream fields(line.substr(4));
        // user nice system idle iowait irq softirq steal (guest, guest_nice)
        uint64_t values[8] = {};
        int count = 0;
        while (count < 8 && fields >> values[count]) ++count;
        if (count < 4) return false;
        times.total = 0;
        for (int k = 0; k < count; ++k) times.total += values[k];
        times.idle = values[3] + (count > 4 ? values[4] : 0);
        return true;
    }
    return false;
}

bool readProcessorTimes(const std::string& procRoot, ProcessorTimes& times) {
    std::string text;
    if (!readSmallTextFile(procRoot + "/stat", text)) return false;
    return parseProcessorTimes(text, times);
}

double busyPercentBetween(const ProcessorTimes& earlier, const ProcessorTimes& later) {
    if (later.total <= earlier.total) return -1.0;
    const uint64_t busyEarlier = earlier.total - earlier.idle;
    const uint64_t busyLater = later.total - later.idle;
    // A busy count that went back (idle grew faster than the total) is 0 %.
    const double busy = busyLater >= busyEarlier ? static_cast<double>(busyLater - busyEarlier) : 0.0;
    double percent = busy * 100.0 / static_cast<double>(later.total - earlier.total);
    if (percent < 0.0) percent = 0.0;
    if (percent > 100.0) percent = 100.0;
    return percent;
}
