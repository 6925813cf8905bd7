// The video sound track as Opus packets (libopus), 20 ms each, with the
// identification header and the codec delay a WebM track declares. Pure;
// safe from any thread.
#pragma once

#include <string>

#include "codec/video_frame.h"

// Codes `audio` (1 or 2 channels) at its own rate when Opus codes that rate
// natively (8000, 12000, 16000, 24000, 48000 Hz), otherwise after
// resampling to 48000 Hz. The input is padded with zeros to whole 20 ms
// frames covering the samples and the encoder's look-ahead; samples are
// clamped to -1..1. Packet k has the timestamp k * 20 ms. The header's
// pre-skip is the look-ahead in 48 kHz samples, its input rate the rate
// before resampling. False with `error` set ("opus supports 1-2 channels",
// "opus_encoder_create: ...", "opus_encode_float: ...").
bool encodeOpusAudio(const PcmAudio& audio, EncodedAudio& encoded, std::string& error);

// The 19-byte "OpusHead" identification header (version 1, mapping family 0).
std::vector<uint8_t> opusIdentificationHeader(uint8_t channels, uint16_t preSkip, uint32_t inputRate);
