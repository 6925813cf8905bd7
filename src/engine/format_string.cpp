#include "engine/format_string.h"

#include <chrono>
#include <cstdio>
#include <vector>

std::string formatStringV(const char* format, va_list args) {
    if (!format) return std::string();
    va_list measure;
    va_copy(measure, args);
    const int count = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (count < 0) return std::string();
    std::vector<char> buffer(static_cast<size_t>(count) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    return std::string(buffer.data(), static_cast<size_t>(count));
}

std::string formatString(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = formatStringV(format, args);
    va_end(args);
    return text;
}

int64_t steadyNowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
