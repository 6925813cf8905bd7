// A generated video as the bytes of one WebM file, made in memory in one
// call: VP8 key frames (vp8_frame.h), Opus sound (opus_audio.h) or 16-bit
// PCM when Opus cannot code it, laid out by libwebm's muxer. The writer keeps
// no state between calls; safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codec/video_frame.h"

// Writes `frames` (all of the first frame's size) at `fps` frames a second,
// with `audio` when it is not null and present, at libwebp quality `quality`
// (clamped to 0..100). On success `out` holds the file (its former content
// replaced) and the result is true. On failure the result is false, `error`
// tells why and `out` is unchanged:
//   "no frames to encode", "fps must be positive", "invalid frame size",
//   "frame size mismatch", "VP8 encoding failed at frame <i>",
//   "webm ..." for a refusal of the muxer.
// When Opus refuses the sound, it goes out as PCM and `opusFallback` (when
// not null) receives Opus's reason; it stays empty otherwise.
bool encodeWebmVideo(const std::vector<VideoFrame>& frames, int32_t fps, const PcmAudio* audio, int32_t quality,
                     std::vector<uint8_t>& out, std::string& error, std::string* opusFallback = nullptr);

// The duration of one frame at `fps` (> 0): llround(1e9 / fps) ns, at least 1.
int64_t frameDurationNs(int32_t fps);
