#include "base/utf8.h"

const char kUtf8Replacement[] = "\xEF\xBF\xBD";

Utf8Sequence scanUtf8Sequence(const unsigned char* bytes, size_t size) {
    const unsigned char lead = bytes[0];
    if (lead < 0x80) return {Utf8Sequence::kWhole, 1};
    size_t length;
    // The second byte's range is narrower for some leads: that is where
    // over-long forms, surrogates and values above U+10FFFF are shut out.
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return {Utf8Sequence::kInvalid, 1};
    }
    size_t k = 1;
    for (; k < length && k < size; ++k) {
        const unsigned char lo = k == 1 ? low : 0x80;
        const unsigned char hi = k == 1 ? high : 0xBF;
        if (bytes[k] < lo || bytes[k] > hi) return {Utf8Sequence::kInvalid, k};
    }
    if (k == length) return {Utf8Sequence::kWhole, length};
    return {Utf8Sequence::kTruncated, k};
}

bool isValidUtf8(const std::string& text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    size_t i = 0;
    while (i < text.size()) {
        const Utf8Sequence s = scanUtf8Sequence(bytes + i, text.size() - i);
        if (s.kind != Utf8Sequence::kWhole) return false;
        i += s.length;
    }
    return true;
}

size_t incompleteUtf8Tail(const std::string& text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    // The last non-continuation byte at most three bytes from the end starts
    // the only sequence that later bytes could still complete.
    for (size_t back = 1; back <= 3 && back <= size; ++back) {
        const unsigned char b = bytes[size - back];
        if (b >= 0x80 && b <= 0xBF) continue;
        const Utf8Sequence s = scanUtf8Sequence(bytes + size - back, back);
        return s.kind == Utf8Sequence::kTruncated && s.length == back ? back : 0;
    }
    return 0;
}

namespace {

// Appends the valid text of bytes[0, size) to `out`; returns the length of
// an incomplete sequence left at the end (0 when `keepTail` is false: then it
// is replaced too).
size_t appendValid(const unsigned char* bytes, size_t size, bool keepTail, std::string& out) {
    size_t i = 0;
    while (i < size) {
        const Utf8Sequence s = scanUtf8Sequence(bytes + i, size - i);
        if (s.kind == Utf8Sequence::kWhole) {
            out.append(reinterpret_cast<const char*>(bytes + i), s.length);
        } else if (s.kind == Utf8Sequence::kTruncated && keepTail) {
            return s.length;
        } else {
            out += kUtf8Replacement;
        }
        i += s.length;
    }
    return 0;
}

}  // namespace

std::string replaceInvalidUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    appendValid(reinterpret_cast<const unsigned char*>(text.data()), text.size(), false, out);
    return out;
}

std::string releaseUtf8(std::string& pending, const std::string& text) {
    pending += text;
    std::string out;
    out.reserve(pending.size());
    const size_t kept = appendValid(reinterpret_cast<const unsigned char*>(pending.data()), pending.size(), true, out);
    pending.erase(0, pending.size() - kept);
    return out;
}
