#include "media/safetensors_quant.h"

#include <cstdint>
#include <fstream>

#include <nlohmann/json.hpp>

namespace {

constexpr uint64_t kMaxHeaderBytes = 268435456;
constexpr uint64_t kMaxEntryBytes = 4096;
constexpr char kSuffix[] = ".comfy_quant";

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool acceptedFormat(const std::string& format) {
    return format == "int8_tensorwise" || format == "convrot_w4a4" || format == "asym_w4a8_int8";
}

bool readAt(std::ifstream& in, uint64_t offset, uint64_t length, std::string& out) {
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset));
    if (!in) return false;
    out.assign(length, '\0');
    in.read(out.data(), static_cast<std::streamsize>(length));
    return static_cast<uint64_t>(in.gcount()) == length;
}

}  // namespace

std::set<std::string> readSafetensorsQuantFormat(const std::string& path) {
    std::set<std::string> unsupported;
    try {
        std::ifstream in(path, std::ios::binary);
        if (!in) return unsupported;
        unsigned char lengthBytes[8];
        if (!in.read(reinterpret_cast<char*>(lengthBytes), 8)) return unsupported;
        uint64_t n = 0;
        for (int i = 7; i >= 0; --i) n = (n << 8) | lengthBytes[i];
        if (n < 1 || n > kMaxHeaderBytes) return unsupported;
        std::string headerText;
        if (!readAt(in, 8, n, headerText)) return unsupported;
        const nlohmann::json header = nlohmann::json::parse(headerText, nullptr, false);
        if (!header.is_object()) return unsupported;
        const uint64_t dataStart = n + 8;
        for (auto it = header.begin(); it != header.end(); ++it) {
            const std::string& key = it.key();
            if (key.size() <= 12 || !endsWith(key, kSuffix) || !it->is_object()) continue;
            const auto offsets = it->find("data_offsets");
            if (offsets == it->end() || !offsets->is_array() || offsets->size() != 2) continue;
            const nlohmann::json& first = (*offsets)[0];
            const nlohmann::json& second = (*offsets)[1];
            if (!first.is_number_unsigned() || !second.is_number_unsigned()) continue;
            const uint64_t b = first.get<uint64_t>();
            const uint64_t e = second.get<uint64_t>();
            if (b >= e || e - b > kMaxEntryBytes || b > UINT64_MAX - dataStart) continue;
            std::string entry;
            if (!readAt(in, dataStart + b, e - b, entry)) break;
            const nlohmann::json meta = nlohmann::json::parse(entry, nullptr, false);
            std::string format;
            if (meta.is_object()) {
                const auto f = meta.find("format");
                if (f != meta.end() && f->is_string()) format = f->get<std::string>();
            }
            if (acceptedFormat(format)) continue;
            unsupported.insert(format.empty() ? "(unknown)" : format);
        }
    } catch (const std::exception&) {
        // An allocation or stream failure: nothing more can be told.
    }
    return unsupported;
}
