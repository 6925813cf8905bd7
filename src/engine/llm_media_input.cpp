// MivrelLLMEngine::startMediaGeneration: a prompt with images and audio.
#include <chrono>

#include "base/logger.h"
#include "engine/mivrel_exception.h"
#include "engine/mivrel_llm_engine.h"

namespace {

// Decodes one uploaded file into a bitmap; null when the bytes are not an
// image or sound the library reads. The library may also hand back a video
// decoder, which this engine never uses.
MtmdBitmapPtr decodeMedia(const mtmd_context* projector, const std::vector<uint8_t>& bytes) {
    mtmd_helper_bitmap_wrapper decoded = mtmd_helper_bitmap_init_from_buf(
        projector, bytes.data(), bytes.size(), /*placeholder=*/false, mtmd_helper_init_opt_default());
    if (decoded.video_ctx) mtmd_helper_video_free(decoded.video_ctx);
    return MtmdBitmapPtr(decoded.bitmap);
}

}  // namespace

int32_t MivrelLLMEngine::startMediaGeneration(const std::string& prompt, const std::vector<MediaInput>& media,
                                              int32_t maxAudioSeconds) {
    if (!context_) throw MivrelException(MivrelErrorCode::RuntimeFailed, "context is not initialized");
    if (!model_) throw MivrelException(MivrelErrorCode::NotLoaded, "model is not loaded");
    if (!projector_) throw MivrelException(MivrelErrorCode::BadInput, "this model does not support image input (no files.mmproj)");
    if (media.empty()) throw MivrelException(MivrelErrorCode::BadInput, "no images or audio given");
    if (contextSettings_.nBatch < 1) throw MivrelException(MivrelErrorCode::BadInput, "invalid n_batch value (%d)", contextSettings_.nBatch);

    std::vector<MtmdBitmapPtr> bitmaps;
    size_t images = 0;
    size_t audios = 0;
    const int rate = mtmd_get_audio_sample_rate(projector_.get());
    for (const MediaInput& entry : media) {
        if (entry.isAudio) {
            ++audios;
            if (!mtmd_support_audio(projector_.get())) {
                throw MivrelException(MivrelErrorCode::BadInput, "this model does not support audio input (no audio encoder in files.mmproj)");
            }
        } else {
            ++images;
        }
        MtmdBitmapPtr bitmap = decodeMedia(projector_.get(), entry.bytes);
        if (entry.isAudio) {
            if (!bitmap || !mtmd_bitmap_is_audio(bitmap.get())) {
                throw MivrelException(MivrelErrorCode::BadInput, "cannot read audio #%zu (use WAV, MP3 or FLAC)", audios);
            }
            const double seconds =
                rate < 1 ? 0.0 : static_cast<double>(mtmd_bitmap_get_n_bytes(bitmap.get()) / 4) / rate;
            if (maxAudioSeconds > 0 && seconds > maxAudioSeconds) {
                throw MivrelException(MivrelErrorCode::BadInput, "audio #%zu is too long (%.1f s, max %d s)", audios, seconds, maxAudioSeconds);
            }
            logMessage(4, "[MivrelEngine] 오디오 #%zu: %.1f초 (%d Hz)", audios, seconds, rate);
        } else if (!bitmap || mtmd_bitmap_is_audio(bitmap.get())) {
            throw MivrelException(MivrelErrorCode::BadInput, "cannot read image #%zu (use PNG or JPEG)", images);
        }
        bitmaps.push_back(std::move(bitmap));
    }

    // The library reports a marker count mismatch like any other failure, so
    // count the markers here to name the mismatch.
    const std::string marker = mtmd_get_marker(projector_.get()) ? mtmd_get_marker(projector_.get()) : "";
    size_t markers = 0;
    for (size_t at = marker.empty() ? std::string::npos : prompt.find(marker); at != std::string::npos;
         at = prompt.find(marker, at + marker.size())) {
        ++markers;
    }
    if (markers != media.size()) {
        throw MivrelException(MivrelErrorCode::BadInput, "number of images/audio (%zu) does not match media markers in prompt", media.size());
    }
    MtmdChunksPtr chunks(mtmd_input_chunks_init());
    mtmd_input_text text{prompt.c_str(), prompt.size(), true, true};
    std::vector<const mtmd_bitmap*> views;
    for (const MtmdBitmapPtr& b : bitmaps) views.push_back(b.get());
    const int32_t tokenized = mtmd_tokenize(projector_.get(), chunks.get(), &text, views.data(), views.size());
    if (tokenized == 1) {
        throw MivrelException(MivrelErrorCode::BadInput, "number of images/audio (%zu) does not match media markers in prompt", media.size());
    }
    if (tokenized != 0) throw MivrelException(MivrelErrorCode::BadInput, "image/audio preprocessing failed (ret=%d)", tokenized);

    decodeHandedOutToken();
    const int32_t n = static_cast<int32_t>(mtmd_helper_get_n_tokens(chunks.get()));
    const int32_t c = static_cast<int32_t>(llama_n_ctx(context_.get()));
    if (static_cast<int64_t>(nPast_) + n > c) {
        throw MivrelException(MivrelErrorCode::LimitExceeded, "prompt tokens with images/audio (%d+%d) exceed n_ctx (%d)", nPast_, n, c);
    }
    resetGenerationCounters();

    const auto start = std::chrono::steady_clock::now();
    llama_pos newPast = nPast_;
    const int32_t ret = mtmd_helper_eval_chunks(projector_.get(), context_.get(), chunks.get(), nPast_, 0,
                                                contextSettings_.nBatch, true, &newPast);
    if (ret != 0) {
        llama_memory_seq_rm(llama_get_memory(context_.get()), 0, nPast_, -1);
        throw MivrelException(MivrelErrorCode::RuntimeFailed, "mtmd_helper_eval_chunks failed: ret=%d", ret);
    }
    nPast_ = newPast;
    prefillMs_ =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    turnStartPos_ = nPast_;
    stopCode_.store(kRunning);
    logMessage(4, "[MivrelEngine] 추론 시작(이미지 %zu, 오디오 %zu): prompt_tokens=%d n_past=%d n_ctx=%d prefill=%lldms",
               images, audios, n, nPast_, c, static_cast<long long>(prefillMs_));
    return n;
}
