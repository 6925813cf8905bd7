#include "platform/system_info.h"

#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>

namespace {

std::string unquote(std::string value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return value;
}

}  // namespace

uint64_t totalPhysicalMemoryBytes() {
    std::ifstream in("/proc/meminfo");
    std::string key;
    uint64_t kib = 0;
    std::string unit;
    while (in >> key >> kib >> unit) {
        if (key == "MemTotal:") return kib * 1024;
    }
    return 0;
}

std::string operatingSystemName() {
    std::ifstream in("/etc/os-release");
    if (!in) return "Linux";
    std::map<std::string, std::string> values;
    std::string line;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos || line[0] == '#') continue;
        values[line.substr(0, eq)] = unquote(line.substr(eq + 1));
    }
    if (!values["PRETTY_NAME"].empty()) return values["PRETTY_NAME"];
    std::string name = values["NAME"].empty() ? "Linux" : values["NAME"];
    if (!values["VERSION_ID"].empty()) name += " " + values["VERSION_ID"];
    return name;
}

std::string localHostName() {
    char buffer[256] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0) return std::string();
    return buffer;
}
