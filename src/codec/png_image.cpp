#include "codec/png_image.h"

#include <climits>

#include <stb/stb_image.h>
#include <stb/stb_image_write.h>

namespace {

void appendBytes(void* context, void* data, int size) {
    auto* out = static_cast<std::vector<uint8_t>*>(context);
    const auto* bytes = static_cast<const uint8_t*>(data);
    out->insert(out->end(), bytes, bytes + size);
}

}  // namespace

bool encodePng(uint32_t width, uint32_t height, uint32_t channels, const uint8_t* pixels, std::vector<uint8_t>& out) {
    if (!pixels || width == 0 || height == 0 || channels < 1 || channels > 4) return false;
    const uint64_t stride = static_cast<uint64_t>(width) * channels;
    if (width > INT_MAX || height > INT_MAX || stride > INT_MAX) return false;
    std::vector<uint8_t> png;
    if (!stbi_write_png_to_func(appendBytes, &png, static_cast<int>(width), static_cast<int>(height),
                                static_cast<int>(channels), pixels, static_cast<int>(stride)) ||
        png.empty()) {
        return false;
    }
    out = std::move(png);
    return true;
}

bool decodeImageRgb(const std::vector<uint8_t>& bytes, RgbImage& image, std::string& reason) {
    if (bytes.empty() || bytes.size() > INT_MAX) {
        reason = "not an image";
        return false;
    }
    const auto* data = bytes.data();
    const int length = static_cast<int>(bytes.size());
    int width = 0;
    int height = 0;
    int channels = 0;
    if (!stbi_info_from_memory(data, length, &width, &height, &channels)) {
        const char* why = stbi_failure_reason();
        reason = why ? why : "not an image";
        return false;
    }
    if (width <= 0 || height <= 0 || width > kMaxDecodedImageSide || height > kMaxDecodedImageSide) {
        reason = "image too large: " + std::to_string(width) + "x" + std::to_string(height);
        return false;
    }
    stbi_uc* pixels = stbi_load_from_memory(data, length, &width, &height, &channels, 3);
    if (!pixels) {
        const char* why = stbi_failure_reason();
        reason = why ? why : "not an image";
        return false;
    }
    image.width = width;
    image.height = height;
    image.pixels.assign(pixels, pixels + static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
    stbi_image_free(pixels);
    return true;
}
