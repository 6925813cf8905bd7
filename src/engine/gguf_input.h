// The sequential reader under the GGUF header reader and the load check:
// the value type ids, their sizes and a bounds-checked input over an open
// regular file. Internal to src/engine; no shared state.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/gguf_reader.h"

namespace gguf {

enum GgufType : uint32_t {
    kUint8 = 0, kInt8 = 1, kUint16 = 2, kInt16 = 3, kUint32 = 4, kInt32 = 5, kFloat32 = 6,
    kBool = 7, kString = 8, kArray = 9, kUint64 = 10, kInt64 = 11, kFloat64 = 12,
};

constexpr uint32_t kMaxDimensions = 8;

// The fixed size of a scalar type; 0 for strings, arrays and unknown ids.
inline uint64_t fixedSize(uint32_t type) {
    switch (type) {
        case kUint8: case kInt8: case kBool: return 1;
        case kUint16: case kInt16: return 2;
        case kUint32: case kInt32: case kFloat32: return 4;
        case kUint64: case kInt64: case kFloat64: return 8;
        default: return 0;
    }
}

// Sequential reader with one good flag: once a read or seek fails, the flag
// stays false and later reads give zero or empty values. Seeks are checked
// against the file size, so a skip past the end is a truncation, not a
// silent success.
class GgufInput {
public:
    explicit GgufInput(FILE* file) : file_(file) {
        struct stat st {};
        if (::fstat(fileno(file_), &st) == 0 && S_ISREG(st.st_mode)) {
            size_ = static_cast<uint64_t>(st.st_size);
        } else {
            good_ = false;
        }
    }

    bool good() const { return good_; }
    uint64_t position() const { return pos_; }
    uint64_t size() const { return size_; }
    void fail() { good_ = false; }

    bool readBytes(void* out, uint64_t n) {
        if (!good_) return false;
        if (n > size_ - pos_ || std::fread(out, 1, n, file_) != n) {
            good_ = false;
            return false;
        }
        pos_ += n;
        return true;
    }

    template <typename T>
    T read() {
        unsigned char bytes[sizeof(T)] = {};
        if (!readBytes(bytes, sizeof(T))) return T{};
        // GGUF is little-endian; assemble by hand so the host order does not matter.
        uint64_t value = 0;
        for (size_t i = 0; i < sizeof(T); ++i) value |= static_cast<uint64_t>(bytes[i]) << (8 * i);
        T out;
        if constexpr (sizeof(T) == 8) {
            uint64_t v = value;
            std::memcpy(&out, &v, 8);
        } else if constexpr (sizeof(T) == 4) {
            uint32_t v = static_cast<uint32_t>(value);
            std::memcpy(&out, &v, 4);
        } else if constexpr (sizeof(T) == 2) {
            uint16_t v = static_cast<uint16_t>(value);
            std::memcpy(&out, &v, 2);
        } else {
            uint8_t v = static_cast<uint8_t>(value);
            std::memcpy(&out, &v, 1);
        }
        return out;
    }

    bool skip(uint64_t n) {
        if (!good_) return false;
        if (n > size_ - pos_ || fseeko(file_, static_cast<off_t>(n), SEEK_CUR) != 0) {
            good_ = false;
            return false;
        }
        pos_ += n;
        return true;
    }

    // `count` elements of `elementSize` bytes; the product is never formed
    // when it could overflow.
    bool skipElements(uint64_t count, uint64_t elementSize) {
        if (!good_) return false;
        if (elementSize != 0 && count > (size_ - pos_) / elementSize) {
            good_ = false;
            return false;
        }
        return skip(count * elementSize);
    }

    // A u64 length and that many bytes; over 256 MiB is corruption.
    std::string readString() {
        const uint64_t length = read<uint64_t>();
        if (!good_ || length > kGgufMaxStringLength || length > size_ - pos_) {
            good_ = false;
            return std::string();
        }
        std::string text(static_cast<size_t>(length), '\0');
        if (!readBytes(text.data(), length)) return std::string();
        return text;
    }

    bool skipString() {
        const uint64_t length = read<uint64_t>();
        if (!good_ || length > kGgufMaxStringLength) {
            good_ = false;
            return false;
        }
        return skip(length);
    }

private:
    FILE* file_;
    uint64_t size_ = 0;
    uint64_t pos_ = 0;
    bool good_ = true;
};

// Passes over `count` elements of `elementType`; arrays and unknown types
// are corruption.
inline void skipArrayElements(GgufInput& in, uint32_t elementType, uint64_t count) {
    if (elementType == kString) {
        for (uint64_t i = 0; i < count && in.good(); ++i) in.skipString();
    } else if (fixedSize(elementType) != 0) {
        in.skipElements(count, fixedSize(elementType));
    } else {
        in.fail();
    }
}

// Passes over one value of `type`, an array (not nested) included.
inline void skipValue(GgufInput& in, uint32_t type) {
    if (type == kArray) {
        const uint32_t elementType = in.read<uint32_t>();
        const uint64_t count = in.read<uint64_t>();
        if (in.good()) skipArrayElements(in, elementType, count);
    } else if (type == kString) {
        in.skipString();  // same limit as a read, without keeping the text
    } else if (fixedSize(type) != 0) {
        in.skip(fixedSize(type));
    } else {
        in.fail();
    }
}

}  // namespace gguf
