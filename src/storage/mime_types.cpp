#include "storage/mime_types.h"

#include <cctype>
#include <utility>

#include "base/case_fold.h"

namespace {

struct MimeRow {
    const char* type;
    const char* extension;
};

constexpr MimeRow kTable[] = {
    {"image/png", "png"},     {"image/jpeg", "jpg"},      {"image/webp", "webp"},     {"audio/wav", "wav"},
    {"audio/mpeg", "mp3"},    {"audio/flac", "flac"},     {"video/webm", "webm"},     {"video/mp4", "mp4"},
    {"text/plain", "txt"},    {"text/markdown", "md"},    {"text/csv", "csv"},        {"application/json", "json"},
};

constexpr std::pair<const char*, const char*> kAliases[] = {
    {"image/jpg", "image/jpeg"},  {"audio/x-wav", "audio/wav"}, {"audio/wave", "audio/wav"},
    {"audio/vnd.wave", "audio/wav"}, {"audio/mp3", "audio/mpeg"}, {"audio/x-flac", "audio/flac"},
};

}  // namespace

std::string mimeTypeOfFile(const std::string& name) {
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos) {
        const std::string ext = toLower(name.substr(dot + 1));
        if (ext == "jpeg") return "image/jpeg";
        for (const MimeRow& row : kTable) {
            if (ext == row.extension) return row.type;
        }
    }
    return "application/octet-stream";
}

std::string extensionForMimeType(const std::string& contentType) {
    std::string type;
    for (char c : contentType.substr(0, contentType.find(';'))) {
        if (!std::isspace(static_cast<unsigned char>(c))) type.push_back(c);
    }
    type = toLower(type);
    for (const auto& [alias, canonical] : kAliases) {
        if (type == alias) type = canonical;
    }
    for (const MimeRow& row : kTable) {
        if (type == row.type) return row.extension;
    }
    return "";
}
