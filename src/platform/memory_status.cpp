#include "platform/memory_status.h"

#include <map>
#include <sstream>

#include "platform/system_roots.h"

MemoryStatus parseMemoryStatus(const std::string& text) {
    std::map<std::string, uint64_t> kib;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::istringstream value(line.substr(colon + 1));
        uint64_t number = 0;
        if (value >> number) kib[line.substr(0, colon)] = number;
    }
    MemoryStatus status;
    const auto total = kib.find("MemTotal");
    if (total == kib.end() || total->second == 0) return status;
    status.known = true;
    status.totalBytes = total->second * 1024;
    const auto available = kib.find("MemAvailable");
    uint64_t availableKib = 0;
    if (available != kib.end()) {
        availableKib = available->second;
    } else {
        for (const char* key : {"MemFree", "Buffers", "Cached"}) {
            const auto it = kib.find(key);
            if (it != kib.end()) availableKib += it->second;
        }
    }
    if (availableKib > total->second) availableKib = total->second;
    status.availableBytes = availableKib * 1024;
    const uint64_t used = total->second - availableKib;
    status.loadPercent = static_cast<int>((used * 100 + total->second / 2) / total->second);
    return status;
}

MemoryStatus readMemoryStatus(const std::string& procRoot) {
    std::string text;
    if (!readSmallTextFile(procRoot + "/meminfo", text)) return MemoryStatus();
    return parseMemoryStatus(text);
}
