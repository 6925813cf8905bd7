#include "platform/os_release.h"

#include <sys/utsname.h>

#include <sstream>

#include "platform/system_roots.h"

namespace {

std::string unquoted(std::string value) {
    while (!value.empty() && (value.back() == '\r' || value.back() == ' ' || value.back() == '\t')) value.pop_back();
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
        const char quote = value.front();
        std::string out;
        for (size_t k = 1; k + 1 < value.size(); ++k) {
            if (quote == '"' && value[k] == '\\' && k + 2 < value.size()) ++k;
            out.push_back(value[k]);
        }
        return out;
    }
    return value;
}

}  // namespace

OsRelease parseOsRelease(const std::string& text) {
    OsRelease release;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') continue;
        const size_t equals = line.find('=', start);
        if (equals == std::string::npos) continue;
        const std::string key = line.substr(start, equals - start);
        const std::string value = unquoted(line.substr(equals + 1));
        if (key == "ID") {
            release.id = value;
        } else if (key == "NAME") {
            release.name = value;
        } else if (key == "PRETTY_NAME") {
            release.prettyName = value;
        } else if (key == "VERSION_ID") {
            release.versionId = value;
        } else {
            continue;
        }
        release.found = true;
    }
    return release;
}

OsRelease readOsRelease(const std::string& etcRoot) {
    std::string text;
    if (readSmallTextFile(etcRoot + "/os-release", text)) return parseOsRelease(text);
    if (readSmallTextFile(etcRoot + "/../usr/lib/os-release", text)) return parseOsRelease(text);
    return OsRelease();
}

KernelIdentity readKernelIdentity() {
    KernelIdentity identity;
    struct utsname names {};
    if (::uname(&names) != 0) return identity;
    identity.sysname = names.sysname;
    identity.release = names.release;
    identity.machine = names.machine;
    return identity;
}
