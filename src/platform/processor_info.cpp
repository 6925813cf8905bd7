#include "platform/processor_info.h"

#include <sched.h>
#include <unistd.h>

#include <sstream>

#include "platform/system_roots.h"

namespace {

std::string trimmed(const std::string& text) {
    const size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return "";
    const size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

}  // namespace

int onlineProcessorCount() {
    const long count = ::sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? static_cast<int>(count) : 1;
}

ProcessorInfo parseProcessorInfo(const std::string& text) {
    ProcessorInfo info;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string key = trimmed(line.substr(0, colon));
        if (key == "processor") {
            ++info.logicalCount;
        } else if (key == "model name" && info.modelName.empty()) {
            info.modelName = trimmed(line.substr(colon + 1));
        }
    }
    if (info.logicalCount < 1) info.logicalCount = onlineProcessorCount();
    return info;
}

ProcessorInfo readProcessorInfo(const std::string& procRoot) {
    std::string text;
    if (!readSmallTextFile(procRoot + "/cpuinfo", text)) return parseProcessorInfo("");
    return parseProcessorInfo(text);
}

int affinityProcessorCount(int fallback) {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof(set), &set) != 0) return fallback;
    const int count = CPU_COUNT(&set);
    return count > 0 ? count : fallback;
}
