#include "engine/gguf_load_check.h"

#include <ggml.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <iterator>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/text_util.h"
#include "base/utf8.h"
#include "engine/gguf_input.h"
#include "platform/file_io.h"

namespace {

using namespace gguf;

constexpr char kTokensKey[] = "tokenizer.ggml.tokens";
constexpr char kAlignmentKey[] = "general.alignment";
constexpr uint64_t kDefaultAlignment = 32;
constexpr uint32_t kLoaderMaxDimensions = 4;
constexpr uint64_t kMaxTokens = 0x7FFFFFFFULL;
// The loader's own bounds on layers and experts.
constexpr uint64_t kLoaderMaxLayers = 512;
constexpr uint64_t kLoaderMaxExperts = 1024;
// The rope scaling names the loader knows.
constexpr const char* kRopeScalingTypes[] = {"none", "linear", "yarn", "longrope"};

// Arrays the vocabulary loader indexes by token id.
bool isPerTokenArray(const std::string& key) {
    return key == "tokenizer.ggml.scores" || key == "tokenizer.ggml.token_type";
}

bool isSpecialTokenKey(const std::string& key) {
    return startsWith(key, "tokenizer.ggml.") && endsWith(key, "_token_id");
}

bool isSignedInteger(uint32_t type) { return type == kInt8 || type == kInt16 || type == kInt32 || type == kInt64; }
bool isUnsignedInteger(uint32_t type) { return type == kUint8 || type == kUint16 || type == kUint32 || type == kUint64; }

struct Facts {
    bool haveTokens = false;
    uint64_t tokenCount = 0;
    std::vector<std::pair<std::string, uint64_t>> perTokenCounts;
    struct Special { std::string key; bool negative; uint64_t value; };
    std::vector<Special> specialIds;
    uint64_t alignment = kDefaultAlignment;
    // Architecture keys ("<arch>.block_count" and the like) of the types the
    // loader reads them as: every unsigned 32-bit value and string, and the
    // largest element of an unsigned 32-bit array, by key.
    std::string architecture;
    std::unordered_map<std::string, uint64_t> counts;
    std::unordered_map<std::string, std::string> texts;
};

struct TensorSpan {
    std::string name;
    uint64_t offset;
    uint64_t bytes;
};

// Reads the token texts and finds the first repeated one, as the library's
// text-to-id map would see it.
bool readTokens(GgufInput& in, uint64_t count, std::string& error) {
    if (count > kMaxTokens) {
        error = "too many tokens (" + std::to_string(count) + ")";
        return false;
    }
    std::unordered_set<std::string> seen;
    seen.reserve(static_cast<size_t>(std::min<uint64_t>(count, in.size() / 8 + 1)));
    for (uint64_t id = 0; id < count && in.good(); ++id) {
        std::string text = in.readString();
        if (!in.good()) break;
        // The library reads each text as a C string, so a text ends at its
        // first NUL there, and an empty one is renamed by its id.
        text.resize(std::min(text.size(), text.find('\0')));
        if (text.empty()) text = "[EMPTY_" + std::to_string(id) + "]";
        if (!seen.insert(std::move(text)).second) {
            error = "duplicate token text at id " + std::to_string(id);
            return false;
        }
    }
    return true;
}

// One metadata value: remembers what the loader relies on, skips the rest.
bool readEntry(GgufInput& in, const std::string& key, uint32_t type, Facts& facts, std::string& error) {
    if (type == kArray) {
        const uint32_t elementType = in.read<uint32_t>();
        const uint64_t count = in.read<uint64_t>();
        if (!in.good()) return true;
        if (key == kTokensKey && elementType == kString) {
            facts.haveTokens = true;
            facts.tokenCount = count;
            return readTokens(in, count, error);
        }
        if (isPerTokenArray(key)) facts.perTokenCounts.emplace_back(key, count);
        if ((elementType == kUint32 || elementType == kInt32) && endsWith(key, ".expert_used_count")) {
            uint64_t largest = 0;
            for (uint64_t i = 0; i < count && in.good(); ++i) largest = std::max<uint64_t>(largest, in.read<uint32_t>());
            facts.counts[key] = largest;
            return true;
        }
        skipArrayElements(in, elementType, count);
        return true;
    }
    if (type == kString && (key == "general.architecture" || endsWith(key, ".rope.scaling.type"))) {
        std::string text = in.readString();
        if (key == "general.architecture") facts.architecture = text;
        facts.texts[key] = std::move(text);
        return true;
    }
    if (key == kAlignmentKey && type == kUint32) {
        facts.alignment = in.read<uint32_t>();
        if (in.good() && (facts.alignment == 0 || (facts.alignment & (facts.alignment - 1)) != 0)) {
            error = "alignment " + std::to_string(facts.alignment) + " is not a power of two";
            return false;
        }
        return true;
    }
    if (isSpecialTokenKey(key) && isUnsignedInteger(type)) {
        uint64_t value = 0;
        for (uint64_t i = 0, n = fixedSize(type); i < n; ++i) value |= static_cast<uint64_t>(in.read<uint8_t>()) << (8 * i);
        facts.specialIds.push_back({key, false, value});
        return true;
    }
    if (isSpecialTokenKey(key) && isSignedInteger(type)) {
        int64_t value = 0;
        switch (type) {
            case kInt8: value = in.read<int8_t>(); break;
            case kInt16: value = in.read<int16_t>(); break;
            case kInt32: value = in.read<int32_t>(); break;
            default: value = in.read<int64_t>(); break;
        }
        facts.specialIds.push_back({key, value < 0, value < 0 ? 0 : static_cast<uint64_t>(value)});
        return true;
    }
    if (type == kUint32) {
        facts.counts[key] = in.read<uint32_t>();
        return true;
    }
    skipValue(in, type);
    return true;
}

bool checkVocabulary(const Facts& facts, std::string& error) {
    if (!facts.haveTokens) return true;  // nothing indexes a vocabulary the file does not have
    const std::string tokens = std::to_string(facts.tokenCount) + " tokens";
    for (const auto& [key, count] : facts.perTokenCounts) {
        if (count != facts.tokenCount) {
            error = key + " has " + std::to_string(count) + " entries for " + tokens;
            return false;
        }
    }
    for (const Facts::Special& special : facts.specialIds) {
        if (special.negative || special.value >= facts.tokenCount) {
            error = special.negative ? special.key + " is negative"
                                     : special.key + " " + std::to_string(special.value) + " is outside the " + tokens;
            return false;
        }
    }
    return true;
}

// What the loader asserts of the architecture's layer and expert counts
// (values of another type the loader refuses by itself, without aborting).
bool checkHyperParameters(const Facts& facts, std::string& error) {
    if (facts.architecture.empty() || facts.architecture == "clip") return true;
    const std::string prefix = facts.architecture + ".";
    const auto value = [&](const char* name, uint64_t fallback) {
        const auto it = facts.counts.find(prefix + name);
        return it == facts.counts.end() ? fallback : it->second;
    };
    const auto refuse = [&](const std::string& why) {
        error = why;
        return false;
    };
    const uint64_t layers = value("block_count", 1);  // a missing count the loader refuses itself
    if (layers == 0 || layers > kLoaderMaxLayers)
        return refuse(prefix + "block_count " + std::to_string(layers) + " is outside 1.." + std::to_string(kLoaderMaxLayers));
    if (value("nextn_predict_layers", 0) > layers) return refuse(prefix + "nextn_predict_layers exceeds block_count");
    const uint64_t experts = value("expert_count", 0);
    const uint64_t used = value("expert_used_count", 0);
    const uint64_t groups = value("expert_group_count", 0);
    const uint64_t groupsUsed = value("expert_group_used_count", 0);
    if (experts > kLoaderMaxExperts) return refuse(prefix + "expert_count " + std::to_string(experts) + " is too large");
    if (used > experts) return refuse(prefix + "expert_used_count exceeds expert_count");
    if (experts > 0) {
        if (used == 0) return refuse(prefix + "expert_used_count is 0 with experts");
        if (groups >= experts) return refuse(prefix + "expert_group_count is not below expert_count");
        if (groups > 1 && (experts % groups != 0 || groupsUsed == 0 || groupsUsed >= groups))
            return refuse(prefix + "expert_group_count does not fit expert_count and expert_group_used_count");
    } else if (groups != 0) {
        return refuse(prefix + "expert_group_count without experts");
    }
    const auto scaling = facts.texts.find(prefix + "rope.scaling.type");
    if (scaling != facts.texts.end() &&
        std::none_of(std::begin(kRopeScalingTypes), std::end(kRopeScalingTypes),
                     [&](const char* known) { return scaling->second == known; }))
        return refuse(prefix + "rope.scaling.type is unknown");
    return true;
}

// One tensor info: its name, dimensions, type and data offset, with the
// byte size its type gives the dimensions.
bool readTensorInfo(GgufInput& in, std::vector<TensorSpan>& spans, std::string& error) {
    TensorSpan span;
    span.name = replaceInvalidUtf8(in.readString());
    const uint32_t dimensions = in.read<uint32_t>();
    if (!in.good()) return true;
    if (dimensions > kLoaderMaxDimensions) {
        error = "tensor " + span.name + " has " + std::to_string(dimensions) + " dimensions";
        return false;
    }
    uint64_t extents[kLoaderMaxDimensions] = {1, 1, 1, 1};
    for (uint32_t d = 0; d < dimensions; ++d) extents[d] = in.read<uint64_t>();
    const uint32_t type = in.read<uint32_t>();
    span.offset = in.read<uint64_t>();
    if (!in.good()) return true;
    const auto unusable = [&](const std::string& why) {
        error = "tensor " + span.name + " " + why;
        return false;
    };
    if (type >= GGML_TYPE_COUNT) return unusable("has unknown type " + std::to_string(type));
    const ggml_type ggmlType = static_cast<ggml_type>(type);
    const uint64_t block = static_cast<uint64_t>(ggml_blck_size(ggmlType));
    const uint64_t blockBytes = ggml_type_size(ggmlType);
    if (block == 0 || blockBytes == 0) return unusable("has unknown type " + std::to_string(type));
    if (extents[0] % block != 0) return unusable("has a first dimension that is not a whole number of blocks");
    uint64_t bytes = extents[0] / block;
    if (__builtin_mul_overflow(bytes, blockBytes, &bytes)) return unusable("is larger than any file");
    for (uint32_t d = 1; d < kLoaderMaxDimensions; ++d) {
        if (extents[d] > static_cast<uint64_t>(INT64_MAX) || __builtin_mul_overflow(bytes, extents[d], &bytes))
            return unusable("is larger than any file");
    }
    span.bytes = bytes;
    spans.push_back(std::move(span));
    return true;
}

}  // namespace

bool checkGgufForLoader(const std::string& path, std::string& error) {
    error.clear();
    std::unique_ptr<FILE, int (*)(FILE*)> file(openRegularFileStream(path), &std::fclose);
    if (!file) {
        error = errno == EINVAL ? "not a regular file" : "cannot open file";
        return false;
    }
    GgufInput in(file.get());
    unsigned char magic[4] = {};
    if (!in.readBytes(magic, 4) || std::memcmp(magic, "GGUF", 4) != 0) {
        error = "not a GGUF file";
        return false;
    }
    const uint32_t version = in.read<uint32_t>();
    if (in.good() && version < 2) {
        error = "unsupported GGUF version " + std::to_string(version);
        return false;
    }
    const uint64_t tensorCount = in.read<uint64_t>();
    const uint64_t entryCount = in.read<uint64_t>();

    Facts facts;
    for (uint64_t i = 0; i < entryCount && in.good(); ++i) {
        const std::string key = in.readString();
        const uint32_t type = in.read<uint32_t>();
        if (!in.good()) break;
        if (!readEntry(in, key, type, facts, error)) return false;
    }
    std::vector<TensorSpan> spans;
    for (uint64_t i = 0; i < tensorCount && in.good(); ++i) {
        if (!readTensorInfo(in, spans, error)) return false;
    }
    if (!in.good()) {
        error = "corrupted or truncated GGUF header";
        return false;
    }
    if (!checkVocabulary(facts, error)) return false;
    if (!checkHyperParameters(facts, error)) return false;

    // Tensor data starts at the next multiple of the alignment after the infos.
    const uint64_t infosEnd = in.position();
    const uint64_t padding = (facts.alignment - infosEnd % facts.alignment) % facts.alignment;
    const uint64_t dataStart = infosEnd + padding;
    for (const TensorSpan& span : spans) {
        if (dataStart > in.size() || span.offset > in.size() - dataStart ||
            span.bytes > in.size() - dataStart - span.offset) {
            error = "data of tensor " + span.name + " lies outside the file";
            return false;
        }
    }
    return true;
}
