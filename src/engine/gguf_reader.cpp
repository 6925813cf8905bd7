#include "engine/gguf_reader.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/file_io.h"

namespace {

enum GgufType : uint32_t {
    kUint8 = 0, kInt8 = 1, kUint16 = 2, kInt16 = 3, kUint32 = 4, kInt32 = 5, kFloat32 = 6,
    kBool = 7, kString = 8, kArray = 9, kUint64 = 10, kInt64 = 11, kFloat64 = 12,
};

constexpr uint32_t kMaxDimensions = 8;

// The fixed size of a scalar type; 0 for strings, arrays and unknown ids.
uint64_t fixedSize(uint32_t type) {
    switch (type) {
        case kUint8: case kInt8: case kBool: return 1;
        case kUint16: case kInt16: return 2;
        case kUint32: case kInt32: case kFloat32: return 4;
        case kUint64: case kInt64: case kFloat64: return 8;
        default: return 0;
    }
}

const char* typeName(uint32_t type) {
    static const char* const names[] = {"uint8", "int8", "uint16", "int16", "uint32", "int32", "float32",
                                        "bool", "string", "array", "uint64", "int64", "float64"};
    return type < sizeof(names) / sizeof(names[0]) ? names[type] : "unknown";
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

nlohmann::ordered_json readScalar(GgufInput& in, uint32_t type) {
    switch (type) {
        case kUint8: return in.read<uint8_t>();
        case kInt8: return in.read<int8_t>();
        case kUint16: return in.read<uint16_t>();
        case kInt16: return in.read<int16_t>();
        case kUint32: return in.read<uint32_t>();
        case kInt32: return in.read<int32_t>();
        case kFloat32: return static_cast<double>(in.read<float>());
        case kBool: return in.read<uint8_t>() != 0;
        case kString: return sanitizeUtf8(in.readString());
        case kUint64: return in.read<uint64_t>();
        case kInt64: return in.read<int64_t>();
        case kFloat64: return in.read<double>();
        default:
            in.fail();
            return nullptr;
    }
}

nlohmann::ordered_json readValue(GgufInput& in, uint32_t type, bool wanted) {
    if (type == kArray) {
        const uint32_t elementType = in.read<uint32_t>();
        const uint64_t count = in.read<uint64_t>();
        if (!in.good() || elementType == kArray) {
            in.fail();
            return nullptr;
        }
        if (wanted && count <= kGgufMaxArrayRead) {
            nlohmann::ordered_json items = nlohmann::ordered_json::array();
            for (uint64_t i = 0; i < count && in.good(); ++i) items.push_back(readScalar(in, elementType));
            return items;
        }
        if (elementType == kString) {
            for (uint64_t i = 0; i < count && in.good(); ++i) in.skipString();
        } else if (fixedSize(elementType) != 0) {
            in.skipElements(count, fixedSize(elementType));
        } else {
            in.fail();
        }
        if (!wanted) return nullptr;
        nlohmann::ordered_json summary = nlohmann::ordered_json::object();
        summary["type"] = "array";
        summary["element_type"] = typeName(elementType);
        summary["count"] = count;
        return summary;
    }
    if (!wanted) {
        if (fixedSize(type) != 0) {
            in.skip(fixedSize(type));
        } else if (type == kString) {
            in.skipString();  // same limit as a read, without keeping the text
        } else {
            in.fail();
        }
        return nullptr;
    }
    return readScalar(in, type);
}

}  // namespace

bool readGgufHeader(const std::string& path, const std::vector<std::string>& wantedKeys, GgufHeader& header,
                    std::string& error) {
    header = GgufHeader();
    std::unique_ptr<FILE, int (*)(FILE*)> file(openStreamCloexec(path, "rb"), &std::fclose);
    if (!file) {
        error = "cannot open file";
        return false;
    }
    GgufInput in(file.get());
    unsigned char magic[4] = {};
    if (!in.readBytes(magic, 4) || magic[0] != 'G' || magic[1] != 'G' || magic[2] != 'U' || magic[3] != 'F') {
        error = "not a GGUF file";
        return false;
    }
    header.version = in.read<uint32_t>();
    if (!in.good()) {
        error = "corrupted or truncated GGUF header";
        return false;
    }
    if (header.version < 2) {
        error = "unsupported GGUF version " + std::to_string(header.version);
        return false;
    }
    header.tensorCount = in.read<uint64_t>();
    header.metadataCount = in.read<uint64_t>();

    for (uint64_t i = 0; i < header.metadataCount && in.good(); ++i) {
        const std::string key = in.readString();
        const uint32_t type = in.read<uint32_t>();
        if (!in.good()) break;
        const bool wanted = isWantedKey(key, wantedKeys);
        nlohmann::ordered_json value = readValue(in, type, wanted);
        if (wanted && in.good()) header.metadata[sanitizeUtf8(key)] = std::move(value);
    }

    for (uint64_t i = 0; i < header.tensorCount && in.good(); ++i) {
        const uint64_t nameLength = in.read<uint64_t>();
        in.skip(nameLength);
        const uint32_t dimensions = in.read<uint32_t>();
        if (!in.good()) break;
        if (dimensions > kMaxDimensions) {
            in.fail();
            break;
        }
        uint64_t product = 1;
        for (uint32_t d = 0; d < dimensions; ++d) product *= in.read<uint64_t>();
        in.skip(12);  // type and data offset
        if (in.good()) header.parameterCount += product;
    }

    if (!in.good()) {
        error = "corrupted or truncated GGUF header";
        return false;
    }
    return true;
}

std::string sanitizeUtf8(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size());
    const size_t n = bytes.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char lead = static_cast<unsigned char>(bytes[i]);
        size_t length = 0;
        if (lead < 0x80) length = 1;
        else if ((lead & 0xE0) == 0xC0) length = 2;
        else if ((lead & 0xF0) == 0xE0) length = 3;
        else if ((lead & 0xF8) == 0xF0) length = 4;
        bool whole = length > 0 && i + length <= n;
        for (size_t k = 1; whole && k < length; ++k) {
            whole = (static_cast<unsigned char>(bytes[i + k]) & 0xC0) == 0x80;
        }
        if (whole) {
            out.append(bytes, i, length);
            i += length;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}
