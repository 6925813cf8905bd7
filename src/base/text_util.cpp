#include "base/text_util.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string readFileToString(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "rbe");
    if (!file) throw std::runtime_error("Unable to open file: " + path);
    const auto fail = [&](int error) {
        std::fclose(file);
        throw FileReadError("Unable to read file: " + path + " (" + std::strerror(error) + ")");
    };
    // A directory opens for reading here, and its reads fail.
    struct stat st {};
    if (::fstat(::fileno(file), &st) == 0 && S_ISDIR(st.st_mode)) fail(EISDIR);
    std::string raw;
    char chunk[65536];
    size_t n;
    errno = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) raw.append(chunk, n);
    if (std::ferror(file)) fail(errno != 0 ? errno : EIO);
    std::fclose(file);

    // Files written on Windows keep their CR LF line ends; callers expect the
    // text-mode reading they were written for, where CR LF reads as "\n".
    std::string text;
    text.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
        text.push_back(raw[i]);
    }
    return text;
}

std::pair<std::string, std::string> splitAtColon(const std::string& text) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return {text, std::string()};
    return {text.substr(0, colon), text.substr(colon + 1)};
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool startsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string trimWhitespace(const std::string& text) {
    static const char* const kBlanks = " \t\r\n";
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) return std::string();
    const size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}
