#include "platform/nvidia_driver.h"

#include <cctype>
#include <sstream>

#include "platform/system_roots.h"

namespace {

// A version such as 535.129.03: digits and dots, starting with a digit and
// holding at least one dot.
bool looksLikeVersion(const std::string& word) {
    if (word.empty() || !std::isdigit(static_cast<unsigned char>(word[0]))) return false;
    bool dot = false;
    for (const char c : word) {
        if (c == '.') {
            dot = true;
        } else if (!std::isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return dot;
}

}  // namespace

std::string parseNvidiaDriverVersion(const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, 13, "NVRM version:") != 0) continue;
        std::istringstream words(line.substr(13));
        std::string word;
        while (words >> word) {
            if (looksLikeVersion(word)) return word;
        }
        return "";
    }
    return "";
}

std::string readNvidiaDriverVersion(const std::string& procRoot) {
    std::string text;
    if (!readSmallTextFile(procRoot + "/driver/nvidia/version", text)) return "";
    return parseNvidiaDriverVersion(text);
}
