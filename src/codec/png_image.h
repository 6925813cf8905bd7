// Still pictures: generated images written as PNG, and stored input images
// (PNG, JPEG and the other formats stb_image reads) decoded to 8-bit RGB.
// Both use Debian's stb; pure and safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// PNG bytes of a width x height picture of `channels` (1 to 4) bytes a pixel,
// rows top to bottom without gaps. False (out untouched) for a bad size, no
// pixels or an encoder failure.
bool encodePng(uint32_t width, uint32_t height, uint32_t channels, const uint8_t* pixels, std::vector<uint8_t>& out);

// A decoded picture: packed 8-bit RGB rows.
struct RgbImage {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> pixels;
};

// The largest picture side decodeImageRgb accepts; a larger one is refused
// before any pixel memory is taken.
inline constexpr int32_t kMaxDecodedImageSide = 8192;

// Decodes `bytes` into `image` as RGB. False with `reason` for data stb_image
// cannot read and for a side beyond kMaxDecodedImageSide.
bool decodeImageRgb(const std::vector<uint8_t>& bytes, RgbImage& image, std::string& reason);
