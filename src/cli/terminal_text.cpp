#include "cli/terminal_text.h"

#include <cstdio>

#include "base/utf8.h"

namespace {

std::string hexEscape(const char* form, unsigned value) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, form, value);
    return buffer;
}

}  // namespace

std::string visibleText(const std::string& text, bool keepLineBreaks) {
    std::string out;
    out.reserve(text.size());
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0; i < text.size();) {
        const unsigned char byte = bytes[i];
        if (byte < 0x80) {
            if (byte == '\n' && keepLineBreaks) out += '\n';
            else if (byte == '\n') out += "\\n";
            else if (byte == '\r') out += "\\r";
            else if (byte == '\t') out += "\\t";
            else if (byte < 0x20 || byte == 0x7F) out += hexEscape("\\x%02X", byte);
            else out += static_cast<char>(byte);
            ++i;
            continue;
        }
        const Utf8Sequence sequence = scanUtf8Sequence(bytes + i, text.size() - i);
        if (sequence.kind != Utf8Sequence::kWhole) {
            out += hexEscape("\\x%02X", byte);
            ++i;
        } else if (sequence.length == 2 && byte == 0xC2 && bytes[i + 1] < 0xA0) {
            out += hexEscape("\\u%04X", bytes[i + 1]);  // a C1 control, U+0080..U+009F
            i += 2;
        } else {
            out.append(text, i, sequence.length);
            i += sequence.length;
        }
    }
    return out;
}
