#include "codec/webm_writer.h"

#include <algorithm>
#include <cmath>

#include <mkvmuxer/mkvmuxer.h>

#include "codec/memory_mkv_writer.h"
#include "codec/opus_audio.h"
#include "codec/pcm_packets.h"
#include "codec/vp8_frame.h"

namespace {

constexpr uint64_t kSeekPreRollNs = 80000000;
constexpr int32_t kOpusTrackRate = 48000;

// The sound as packets for its track, Opus first and PCM when that fails.
struct SoundTrack {
    bool present = false;
    bool opus = false;
    EncodedAudio encoded;  // opus: everything; PCM: the packets only
};

SoundTrack prepareSound(const PcmAudio* audio, uint64_t frameCount, std::string* opusFallback) {
    SoundTrack track;
    if (!audio || !audio->present()) return track;
    track.present = true;
    std::string opusError;
    if (encodeOpusAudio(*audio, track.encoded, opusError)) {
        track.opus = true;
        return track;
    }
    if (opusFallback) *opusFallback = opusError;
    track.encoded = EncodedAudio();
    track.encoded.packets = makePcmPackets(*audio, frameCount);
    return track;
}

bool addAudioTrack(mkvmuxer::Segment& segment, const PcmAudio& audio, const SoundTrack& sound, uint64_t& number,
                   std::string& error) {
    const int32_t rate = sound.opus ? kOpusTrackRate : audio.sampleRate;
    number = segment.AddAudioTrack(rate, static_cast<int32_t>(audio.channels), 0);
    auto* track = number ? static_cast<mkvmuxer::AudioTrack*>(segment.GetTrackByNumber(number)) : nullptr;
    if (!track) {
        error = "webm audio track failed";
        return false;
    }
    track->set_sample_rate(static_cast<double>(rate));
    track->set_channels(audio.channels);
    if (sound.opus) {
        track->set_codec_id(mkvmuxer::Tracks::kOpusCodecId);
        track->set_bit_depth(0);
        if (!track->SetCodecPrivate(sound.encoded.codecPrivate.data(), sound.encoded.codecPrivate.size())) {
            error = "webm opus codec private failed";
            return false;
        }
        track->set_codec_delay(sound.encoded.codecDelayNs);
        track->set_seek_pre_roll(kSeekPreRollNs);
    } else {
        track->set_codec_id("A_PCM/INT/LIT");
        track->set_bit_depth(16);
    }
    return true;
}

}  // namespace

int64_t frameDurationNs(int32_t fps) {
    if (fps <= 0) return 1;
    return std::max<int64_t>(1, std::llround(1e9 / fps));
}

bool encodeWebmVideo(const std::vector<VideoFrame>& frames, int32_t fps, const PcmAudio* audio, int32_t quality,
                     std::vector<uint8_t>& out, std::string& error, std::string* opusFallback) {
    if (opusFallback) opusFallback->clear();
    if (frames.empty()) {
        error = "no frames to encode";
        return false;
    }
    if (fps <= 0) {
        error = "fps must be positive";
        return false;
    }
    const VideoFrame& first = frames.front();
    if (static_cast<int32_t>(first.width) <= 0 || static_cast<int32_t>(first.height) <= 0) {
        error = "invalid frame size";
        return false;
    }
    quality = std::clamp(quality, 0, 100);
    const int64_t duration = frameDurationNs(fps);
    const SoundTrack sound = prepareSound(audio, frames.size(), opusFallback);

    MemoryMkvWriter writer;
    mkvmuxer::Segment segment;
    if (!segment.Init(&writer)) {
        error = "webm muxer init failed";
        return false;
    }
    segment.set_mode(mkvmuxer::Segment::kFile);
    segment.OutputCues(true);
    const uint64_t videoNumber =
        segment.AddVideoTrack(static_cast<int32_t>(first.width), static_cast<int32_t>(first.height), 0);
    if (videoNumber == 0 || !segment.CuesTrack(videoNumber)) {
        error = "webm video track failed";
        return false;
    }
    auto* video = static_cast<mkvmuxer::VideoTrack*>(segment.GetTrackByNumber(videoNumber));
    video->set_display_width(first.width);
    video->set_display_height(first.height);
    video->set_frame_rate(static_cast<double>(fps));

    uint64_t audioNumber = 0;
    if (sound.present && !addAudioTrack(segment, *audio, sound, audioNumber, error)) return false;
    segment.GetSegmentInfo()->set_muxing_app("Brisvane");
    segment.GetSegmentInfo()->set_writing_app("Brisvane");

    const std::vector<AudioPacket>& packets = sound.encoded.packets;
    size_t nextPacket = 0;
    const auto addPacketsBefore = [&](int64_t limit, bool all) {
        for (; nextPacket < packets.size() && (all || packets[nextPacket].timestampNs < limit); ++nextPacket) {
            const AudioPacket& packet = packets[nextPacket];
            if (!segment.AddFrame(packet.bytes.data(), packet.bytes.size(), audioNumber,
                                  static_cast<uint64_t>(packet.timestampNs), true)) {
                error = "webm audio mux failed at packet " + std::to_string(nextPacket);
                return false;
            }
        }
        return true;
    };

    std::vector<uint8_t> payload;
    for (size_t i = 0; i < frames.size(); ++i) {
        const VideoFrame& frame = frames[i];
        if (frame.width != first.width || frame.height != first.height || !frame.pixels) {
            error = "frame size mismatch";
            return false;
        }
        if (!encodeVp8Frame(frame, quality, payload)) {
            error = "VP8 encoding failed at frame " + std::to_string(i);
            return false;
        }
        const int64_t timestamp = static_cast<int64_t>(i) * duration;
        if (audioNumber && !addPacketsBefore(timestamp, false)) return false;
        if (!segment.AddFrame(payload.data(), payload.size(), videoNumber, static_cast<uint64_t>(timestamp), true)) {
            error = "webm mux failed at frame " + std::to_string(i);
            return false;
        }
    }
    if (audioNumber && !addPacketsBefore(0, true)) return false;
    if (!segment.Finalize()) {
        error = "webm finalize failed";
        return false;
    }
    out = std::move(writer.bytes());
    return true;
}
