// The video job: the library makes the frames (and maybe sound) from the
// prompt and an optional first and last frame; the WebM writer turns them
// into one file in the instance's store.
#include <chrono>

#include "base/logger.h"
#include "codec/webm_writer.h"
#include "engine/format_string.h"
#include "engine/mivrel_exception.h"
#include "media/job_options.h"
#include "media/media_engine.h"
#include "media/sd_calls.h"
#include "media/sd_common_settings.h"

namespace {

constexpr int32_t kVideoQuality = 90;

// The result's sound as writer input: only a rank-2 tensor with both
// dimensions above 0, a sample rate above 0 and data counts.
PcmAudio soundOf(const sd_audio* audio) {
    PcmAudio pcm;
    if (!audio || !audio->samples || audio->sample_rate <= 0) return pcm;
    const SdFunctions& fn = SdLibrary::instance().fn;
    if (fn.tensorRank(audio->samples) != 2) return pcm;
    const int64_t channels = fn.tensorDim(audio->samples, 0);
    const int64_t frames = fn.tensorDim(audio->samples, 1);
    if (channels <= 0 || frames <= 0 || channels > 255) return pcm;
    pcm.sampleRate = audio->sample_rate;
    pcm.channels = static_cast<uint32_t>(channels);
    pcm.frames = static_cast<uint64_t>(frames);
    pcm.samples = static_cast<const float*>(fn.tensorData(audio->samples));
    return pcm;
}

}  // namespace

GenerationEvent MivrelMediaEngine::generateVideo(const GenerationInput& input) {
    const SdLibrary& library = SdLibrary::instance();
    const nlohmann::json& o = input.options;
    const SdCommonSettings common =
        readSdCommonSettings(input, {.width = 768, .height = 512, .steps = 8, .cfg = 1.0, .tiling = true});
    const int64_t frameCount = jobInt(o, "frames", 49);
    const int64_t requestedFps = jobInt(o, "fps", 24);
    const bool temporal = jobBool(o, "temporal_tiling", true);

    SdOptionsPtr options(library.fn.vidGenOptCreate());
    if (!options) throw std::runtime_error("sd.cpp video option create failed");
    SdTensorList tensors;
    SdResultPtr result;
    sd_opt* opt = options.get();
    applySdCommonSettings(opt, common, o);
    setSdOptionInt(opt, "video_frames", frameCount);
    setSdOptionInt(opt, "fps", requestedFps);
    setSdOptionBool(opt, "vae_tiling.temporal_tiling", temporal);
    const auto setVideoImage = [&](const char* role, const char* name) {
        const std::vector<std::string> files = input.filesOfType("image", role);
        if (files.empty()) return false;
        sd_tensor* tensor = imageFileToSdTensor(files.front(), input, tensors);
        checkSdStatus(library.fn.optSetTensor(opt, name, tensor), std::string("sd.cpp option ") + name);
        return true;
    };
    const bool hasFirst = setVideoImage("init", "init_image");
    const bool hasLast = setVideoImage("end", "end_image");
    logMessage(4,
               "[MediaEngine] 영상 생성 시작: %dx%dx%d fps=%d steps=%d cfg=%.1f seed=%lld init=%s end=%s tiling=%s/%s",
               static_cast<int>(common.width), static_cast<int>(common.height), static_cast<int>(frameCount),
               static_cast<int>(requestedFps), static_cast<int>(common.steps), common.cfg, static_cast<long long>(common.seed),
               hasFirst ? "yes" : "no", hasLast ? "yes" : "no", common.tiling ? "on" : "off", temporal ? "on" : "off");

    sd_ctx* context = context_.load();
    const LibraryCall call = callLibrary(static_cast<int32_t>(common.steps), [&] {
        sd_result* raw = nullptr;
        const int32_t status = library.fn.generateVideo(context, opt, &raw);
        result.reset(raw);
        return status;
    });
    const int64_t n = result ? library.fn.resultGetImageCount(result.get()) : 0;

    GenerationEvent event;
    event.elapsedMs = call.elapsedMs;
    if (!call.ran || cancelRequested_.load() || call.status == SD_STATUS_CANCELLED) {
        event.type = "cancelled";
    } else if (call.status != 0 || n <= 0) {
        event.type = "error";
        event.data["message"] =
            "video generation failed: " + (call.error.empty() ? std::string("empty result") : call.error);
    } else {
        int32_t fps = library.fn.resultGetFps(result.get());
        if (fps < 1) fps = static_cast<int32_t>(requestedFps);
        std::vector<VideoFrame> frames;
        frames.reserve(static_cast<size_t>(n));
        for (int64_t i = 0; i < n; ++i) {
            const VideoFrame frame = imageOfSdTensor(library.fn.resultGetImage(result.get(), i));
            if (!frame.pixels) throw std::runtime_error("video frame " + std::to_string(i) + " has no image data");
            frames.push_back(frame);
        }
        const PcmAudio sound = soundOf(library.fn.resultGetAudio(result.get()));
        const bool hasAudio = sound.present();
        std::vector<uint8_t> bytes;
        std::string error;
        std::string opusFallback;
        const auto encodeStart = std::chrono::steady_clock::now();
        const bool encoded =
            encodeWebmVideo(frames, fps, hasAudio ? &sound : nullptr, kVideoQuality, bytes, error, &opusFallback);
        const auto encodeMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - encodeStart);
        if (!opusFallback.empty()) logMessage(2, "[video] Opus 인코딩 실패, PCM 으로 저장: %s", opusFallback.c_str());
        logMessage(4, "[MediaEngine] 영상 인코딩: %zu frames, %d fps, audio=%s, %zu bytes (%lld ms)", frames.size(), fps,
                   hasAudio ? "yes" : "no", bytes.size(), static_cast<long long>(encodeMs.count()));
        if (encoded) {
            event.type = "result";
            event.files.push_back(saveOutputs("webm", bytes, input));
        } else {
            event.type = "error";
            event.data["message"] = "video encoding failed: " + error;
        }
        event.data["seed"] = common.seed;
        event.data["width"] = frames.front().width;
        event.data["height"] = frames.front().height;
        event.data["steps"] = common.steps;
        event.data["frames"] = n;
        event.data["fps"] = fps;
        event.data["has_audio"] = hasAudio && encoded;
    }
    logMessage(4, "[MediaEngine] 영상 생성 끝: %s (%lld ms) files=%zu", event.type.c_str(),
               static_cast<long long>(event.elapsedMs), event.files.size());
    return event;
}
