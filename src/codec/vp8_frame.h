// One video frame as a VP8 key frame: libwebp encodes the picture as a lossy
// WebP image, whose "VP8 " chunk is exactly the VP8 bitstream a WebM block
// carries. Pure functions; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec/video_frame.h"

// The VP8 bitstream of `frame` (3 or 4 channels; alpha is dropped) at libwebp
// quality `quality` (0..100) into `payload` (assigned). False for another
// channel count, a frame without pixels or an encoder failure.
bool encodeVp8Frame(const VideoFrame& frame, int32_t quality, std::vector<uint8_t>& payload);

// Copies the payload of the first "VP8 " chunk of the RIFF/WEBP file
// `webp` into `payload`. False when the file is not RIFF/WEBP, holds no such
// chunk, or that chunk is empty; a chunk that claims more bytes than the file
// has ends the walk.
bool extractVp8Chunk(const uint8_t* webp, size_t size, std::vector<uint8_t>& payload);
