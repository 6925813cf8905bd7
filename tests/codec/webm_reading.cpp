#include "codec/webm_reading.h"

#include <cstring>
#include <memory>

#include <mkvparser/mkvparser.h>

namespace {

class MemoryReader : public mkvparser::IMkvReader {
public:
    explicit MemoryReader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    int Read(long long pos, long len, unsigned char* buf) override {
        if (pos < 0 || len < 0 || static_cast<size_t>(pos) + static_cast<size_t>(len) > bytes_.size()) return -1;
        std::memcpy(buf, bytes_.data() + pos, static_cast<size_t>(len));
        return 0;
    }
    int Length(long long* total, long long* available) override {
        if (total) *total = static_cast<long long>(bytes_.size());
        if (available) *available = static_cast<long long>(bytes_.size());
        return 0;
    }

private:
    const std::vector<uint8_t>& bytes_;
};

}  // namespace

ParsedWebm parseWebm(const std::vector<uint8_t>& bytes) {
    ParsedWebm parsed;
    MemoryReader reader(bytes);
    mkvparser::EBMLHeader header;
    long long pos = 0;
    if (header.Parse(&reader, pos) < 0) return parsed;
    parsed.docType = header.m_docType ? header.m_docType : "";
    mkvparser::Segment* raw = nullptr;
    if (mkvparser::Segment::CreateInstance(&reader, pos, raw) != 0 || !raw) return parsed;
    std::unique_ptr<mkvparser::Segment> segment(raw);
    if (segment->Load() < 0) return parsed;
    const mkvparser::SegmentInfo* info = segment->GetInfo();
    if (info) {
        parsed.muxingApp = info->GetMuxingAppAsUTF8() ? info->GetMuxingAppAsUTF8() : "";
        parsed.writingApp = info->GetWritingAppAsUTF8() ? info->GetWritingAppAsUTF8() : "";
    }
    const mkvparser::Tracks* tracks = segment->GetTracks();
    for (unsigned long i = 0; tracks && i < tracks->GetTracksCount(); ++i) {
        const mkvparser::Track* track = tracks->GetTrackByIndex(i);
        if (!track) continue;
        ParsedTrack t;
        t.number = track->GetNumber();
        t.type = track->GetType();
        t.codecId = track->GetCodecId() ? track->GetCodecId() : "";
        size_t size = 0;
        const unsigned char* priv = track->GetCodecPrivate(size);
        if (priv) t.codecPrivate.assign(priv, priv + size);
        t.codecDelay = track->GetCodecDelay();
        t.seekPreRoll = track->GetSeekPreRoll();
        if (t.type == mkvparser::Track::kVideo) {
            const auto* video = static_cast<const mkvparser::VideoTrack*>(track);
            t.width = video->GetWidth();
            t.height = video->GetHeight();
            t.frameRate = video->GetFrameRate();
        } else if (t.type == mkvparser::Track::kAudio) {
            const auto* audio = static_cast<const mkvparser::AudioTrack*>(track);
            t.samplingRate = audio->GetSamplingRate();
            t.channels = audio->GetChannels();
            t.bitDepth = audio->GetBitDepth();
        }
        parsed.tracks.push_back(std::move(t));
    }
    const mkvparser::Cues* cues = segment->GetCues();
    parsed.hasCues = cues != nullptr;
    for (const mkvparser::Cluster* cluster = segment->GetFirst(); cluster && !cluster->EOS();
         cluster = segment->GetNext(cluster)) {
        const mkvparser::BlockEntry* entry = nullptr;
        if (cluster->GetFirst(entry) < 0) return parsed;
        while (entry && !entry->EOS()) {
            const mkvparser::Block* block = entry->GetBlock();
            ParsedBlock b;
            b.track = block->GetTrackNumber();
            b.timeNs = block->GetTime(cluster);
            b.key = block->IsKey();
            for (int f = 0; f < block->GetFrameCount(); ++f) {
                const mkvparser::Block::Frame& frame = block->GetFrame(f);
                const size_t start = b.bytes.size();
                b.bytes.resize(start + static_cast<size_t>(frame.len));
                if (frame.Read(&reader, b.bytes.data() + start) < 0) return parsed;
            }
            parsed.blocks.push_back(std::move(b));
            if (cluster->GetNext(entry, entry) < 0) return parsed;
        }
    }
    parsed.ok = true;
    return parsed;
}

std::vector<ParsedBlock> blocksOf(const ParsedWebm& file, long long track) {
    std::vector<ParsedBlock> out;
    for (const ParsedBlock& b : file.blocks) {
        if (b.track == track) out.push_back(b);
    }
    return out;
}
