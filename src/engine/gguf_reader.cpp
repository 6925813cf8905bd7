#include "engine/gguf_reader.h"

#include <cstdio>
#include <memory>

#include "base/utf8.h"
#include "engine/gguf_input.h"
#include "platform/file_io.h"

namespace {

using namespace gguf;

const char* typeName(uint32_t type) {
    static const char* const names[] = {"uint8", "int8", "uint16", "int16", "uint32", "int32", "float32",
                                        "bool", "string", "array", "uint64", "int64", "float64"};
    return type < sizeof(names) / sizeof(names[0]) ? names[type] : "unknown";
}

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
        case kString: return replaceInvalidUtf8(in.readString());
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
        skipArrayElements(in, elementType, count);
        if (!wanted) return nullptr;
        nlohmann::ordered_json summary = nlohmann::ordered_json::object();
        summary["type"] = "array";
        summary["element_type"] = typeName(elementType);
        summary["count"] = count;
        return summary;
    }
    if (!wanted) {
        skipValue(in, type);
        return nullptr;
    }
    return readScalar(in, type);
}

}  // namespace

bool beginsWithGgufMagic(const std::string& path) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(openRegularFileStream(path), &std::fclose);
    if (!file) return false;
    unsigned char magic[4] = {};
    return std::fread(magic, 1, 4, file.get()) == 4 && magic[0] == 'G' && magic[1] == 'G' && magic[2] == 'U' &&
           magic[3] == 'F';
}

bool readGgufHeader(const std::string& path, const std::vector<std::string>& wantedKeys, GgufHeader& header,
                    std::string& error) {
    header = GgufHeader();
    std::unique_ptr<FILE, int (*)(FILE*)> file(openRegularFileStream(path), &std::fclose);
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
        if (wanted && in.good()) header.metadata[replaceInvalidUtf8(key)] = std::move(value);
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
