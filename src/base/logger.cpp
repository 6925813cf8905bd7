#include "base/logger.h"

#include <cstdarg>
#include <cstdlib>
#include <memory>

namespace {

bool gEnabled = true;
bool gColour = true;
int gMaxLevel = 2;
FILE* gOutput = nullptr;

FILE* output() { return gOutput ? gOutput : stdout; }

// Formats into a buffer sized by a first measuring pass, so lines of any
// length are written whole.
int writeLine(int level, bool lineEnd, const char* format, va_list args) {
    if (!gEnabled || level > gMaxLevel) return 0;
    va_list measure;
    va_copy(measure, args);
    int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length < 0) return 0;
    std::unique_ptr<char, decltype(&std::free)> buffer(
        static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1)), &std::free);
    if (!buffer) return 0;
    if (std::vsnprintf(buffer.get(), static_cast<size_t>(length) + 1, format, args) < 0) return 0;

    FILE* out = output();
    if (gColour) std::fprintf(out, "\033%s", logColourSequence(level));
    std::fwrite(buffer.get(), 1, static_cast<size_t>(length), out);
    if (gColour) std::fputs("\033[0m", out);
    if (lineEnd) {
        std::fputc('\n', out);
        std::fflush(out);
    }
    return length;
}

}  // namespace

void setLogEnabled(bool enabled) { gEnabled = enabled; }

void setLogFile(FILE* stream) {
    if (!stream) return;
    gOutput = stream;
    gColour = false;
}

void setLogLevel(int maxLevel) { gMaxLevel = maxLevel; }

const char* logColourSequence(int level) {
    switch (level) {
        case 1: return "[1;31m";
        case 2: return "[1;33m";
        case 3: return "[1;32m";
        case 6: return "[1;35m";
        case 7: return "[1;36m";
        case 8: return "[38;5;205m";
        case 9: return "[0;36m";
        default: return "[0;37m";
    }
}

int logMessage(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = writeLine(level, true, format, args);
    va_end(args);
    return n;
}

int logMessageRaw(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = writeLine(level, false, format, args);
    va_end(args);
    return n;
}
