#include "cli/display_width.h"

uint32_t utf8Next(const std::string& text, size_t* pos) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char lead = bytes[*pos];
    size_t length = 1;
    uint32_t value = lead;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        value = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        value = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        value = lead & 0x07;
    }
    if (length == 1 || *pos + length > text.size()) {
        *pos += 1;
        return lead;
    }
    for (size_t i = 1; i < length; ++i) value = (value << 6) | (bytes[*pos + i] & 0x3F);
    *pos += length;
    return value;
}

int charDisplayWidth(uint32_t cp) {
    struct Range {
        uint32_t from, to;
    };
    static constexpr Range kWide[] = {
        {0x1100, 0x115F},   // Hangul Jamo leading consonants
        {0x2E80, 0xA4CF},   // CJK radicals to Yi
        {0xAC00, 0xD7A3},   // Hangul syllables
        {0xF900, 0xFAFF},   // CJK compatibility ideographs
        {0xFE30, 0xFE4F},   // CJK compatibility forms
        {0xFF00, 0xFF60},   // fullwidth forms
        {0xFFE0, 0xFFE6},   // fullwidth signs
        {0x1F300, 0x1FAFF}, // pictographs and emoji
    };
    for (const Range& range : kWide)
        if (cp >= range.from && cp <= range.to) return 2;
    return 1;
}

int displayWidth(const std::string& text) {
    int width = 0;
    size_t pos = 0;
    while (pos < text.size()) width += charDisplayWidth(utf8Next(text, &pos));
    return width;
}

std::string padToWidth(const std::string& text, int width, bool alignRight) {
    if (width <= 0) return text;
    std::string fitted = text;
    if (displayWidth(text) > width) {
        fitted.clear();
        int used = 0;
        size_t pos = 0;
        while (pos < text.size()) {
            const size_t start = pos;
            const int columns = charDisplayWidth(utf8Next(text, &pos));
            if (used + columns > width - 1) break;
            used += columns;
            fitted.append(text, start, pos - start);
        }
        fitted += "\xE2\x80\xA6";  // "…", one column
    }
    const int left = width - displayWidth(fitted);
    if (left <= 0) return fitted;
    const std::string blanks(static_cast<size_t>(left), ' ');
    return alignRight ? blanks + fitted : fitted + blanks;
}
