#include "engine/utf8_piece.h"

namespace {

// The sequence length a lead byte announces; 0 for a byte that cannot lead.
size_t sequenceLength(unsigned char lead) {
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 0;
}

bool isContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

}  // namespace

size_t incompleteUtf8Tail(const std::string& text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    // A lead byte at most 3 bytes from the end, followed only by
    // continuation bytes, and fewer of them than it needs.
    for (size_t back = 1; back <= 3 && back <= size; ++back) {
        const unsigned char b = bytes[size - back];
        if (isContinuation(b)) continue;
        const size_t need = sequenceLength(b);
        return need > back ? back : 0;
    }
    return 0;
}

std::string replaceBrokenUtf8(const std::string& text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    std::string out;
    out.reserve(size);
    size_t i = 0;
    while (i < size) {
        const size_t length = sequenceLength(bytes[i]);
        bool whole = length > 0 && length <= size - i;
        for (size_t k = 1; whole && k < length; ++k) whole = isContinuation(bytes[i + k]);
        if (whole) {
            out.append(text, i, length);
            i += length;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}
