// Generation in the stand-in: the sampling steps run on a thread of the
// library's own (so progress and log callbacks come from a thread the
// caller did not make), with the step delay and cancellation of real
// sampling; then the pictures are drawn.
#include <chrono>
#include <cstring>
#include <thread>

#include "media/standin/standin_controls.h"
#include "media/standin/standin_draw.h"
#include "media/standin/standin_state.h"

namespace {

// Beyond this many pixel bytes a request is refused rather than drawn.
constexpr uint64_t kMaxResultBytes = uint64_t{2} << 30;

sd_tensor* pictureTensor(int32_t width, int32_t height, std::vector<uint8_t> pixels) {
    auto* tensor = new sd_tensor;
    tensor->type = SD_TENSOR_U8;
    tensor->dims = {3, width, height};
    tensor->data = std::move(pixels);
    return tensor;
}

// Runs `passes` rounds of `steps` progress steps on a library thread.
// kStandinCancelled when the context's cancel flag was raised meanwhile.
int32_t runSteps(sd_ctx* context, int32_t steps, int32_t passes, const StandinControls& controls) {
    int32_t status = kStandinOk;
    std::thread sampler([&] {
        const auto start = std::chrono::steady_clock::now();
        for (int32_t pass = 0; pass < passes; ++pass) {
            for (int32_t step = 1; step <= steps; ++step) {
                if (controls.stepDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(controls.stepDelayMs));
                if (context->cancel.load()) {
                    status = kStandinCancelled;
                    return;
                }
                const std::chrono::duration<float> seconds = std::chrono::steady_clock::now() - start;
                standinProgress(step, steps, seconds.count());
            }
        }
    });
    sampler.join();
    return status;
}

// Validates the context and options of a generation; a status on failure.
int32_t startGenerating(sd_ctx* context, const sd_opt* options, OptionKind kind, sd_result** out, const char* what) {
    if (!context || !options || !out) return standinFail(kStandinBadArgument, std::string(what) + ": null argument");
    *out = nullptr;
    if (options->kind != kind) return standinFail(kStandinBadArgument, std::string(what) + ": wrong option object");
    context->cancel.store(false);
    return kStandinOk;
}

uint64_t requestKey(const sd_opt* options) {
    const auto& v = options->values;
    const std::string text = optionString(v, "prompt", "") + "\x1f" + optionString(v, "negative_prompt", "") + "\x1f" +
                             std::to_string(optionInt(v, "sample.steps", 20)) + "\x1f" +
                             optionString(v, "sample.method", "euler");
    return standinHash(text, static_cast<uint64_t>(optionInt(v, "seed", 42)));
}

}  // namespace

STANDIN_EXPORT int32_t sd_generate_image(sd_ctx* context, sd_opt* options, sd_result** out) {
    if (const int32_t status = startGenerating(context, options, OptionKind::kImage, out, "sd_generate_image")) return status;
    if (!context->card.image) return standinFail(kStandinFailed, "this model cannot make images");
    const StandinControls controls = readStandinControls();
    const auto& v = options->values;
    const int32_t width = static_cast<int32_t>(optionInt(v, "width", 512));
    const int32_t height = static_cast<int32_t>(optionInt(v, "height", 512));
    const int32_t steps = static_cast<int32_t>(optionInt(v, "sample.steps", 20));
    const int32_t count = static_cast<int32_t>(optionInt(v, "batch_count", 1));
    if (static_cast<uint64_t>(width) * height * 3 * count > kMaxResultBytes) {
        return standinFail(kStandinBadArgument, "requested images are too large");
    }
    standinLog(2, "standin: image " + std::to_string(width) + "x" + std::to_string(height) + " x" +
                      std::to_string(count) + ", " + std::to_string(steps) + " steps");
    if (controls.fail == "generate") return standinFail(kStandinFailed, "injected failure: generate");
    if (const int32_t status = runSteps(context, steps, count, controls)) return standinFail(status, "cancelled");

    auto* result = new sd_result;
    if (controls.fail != "empty") {
        const uint64_t key = requestKey(options);
        const std::vector<const sd_tensor*> refs = optionTensors(v, "ref_images");
        for (int32_t i = 0; i < count; ++i) {
            if (controls.fail == "blank_last" && i == count - 1) {
                auto* blank = new sd_tensor;
                blank->dims = {1};
                blank->data = {0};
                result->images.push_back(blank);
                continue;
            }
            result->images.push_back(
                pictureTensor(width, height, drawStandinPicture(width, height, key + i, 0.0, refs)));
        }
    }
    *out = result;
    return kStandinOk;
}

STANDIN_EXPORT int32_t sd_generate_video(sd_ctx* context, sd_opt* options, sd_result** out) {
    if (const int32_t status = startGenerating(context, options, OptionKind::kVideo, out, "sd_generate_video")) return status;
    if (!context->card.video) return standinFail(kStandinFailed, "this model cannot make videos");
    const StandinControls controls = readStandinControls();
    const auto& v = options->values;
    const int32_t width = static_cast<int32_t>(optionInt(v, "width", 512));
    const int32_t height = static_cast<int32_t>(optionInt(v, "height", 512));
    const int32_t steps = static_cast<int32_t>(optionInt(v, "sample.steps", 8));
    const int32_t frames = static_cast<int32_t>(optionInt(v, "video_frames", 16));
    const int32_t fps = static_cast<int32_t>(optionInt(v, "fps", 16));
    if (static_cast<uint64_t>(width) * height * 3 * frames > kMaxResultBytes) {
        return standinFail(kStandinBadArgument, "requested video is too large");
    }
    standinLog(2, "standin: video " + std::to_string(width) + "x" + std::to_string(height) + "x" +
                      std::to_string(frames) + " @" + std::to_string(fps) + " fps, " + std::to_string(steps) + " steps");
    if (controls.fail == "generate") return standinFail(kStandinFailed, "injected failure: generate");
    // Two passes with the same step total, like a two-stage sampler: only the
    // first one is sampling progress that a caller should show.
    if (const int32_t status = runSteps(context, steps, 2, controls)) return standinFail(status, "cancelled");

    auto* result = new sd_result;
    result->fps = controls.fpsSet ? controls.fps : fps;
    if (controls.fail == "empty") {
        *out = result;
        return kStandinOk;
    }
    const uint64_t key = requestKey(options);
    const std::vector<const sd_tensor*> first = optionTensors(v, "init_image");
    const std::vector<const sd_tensor*> last = optionTensors(v, "end_image");
    for (int32_t i = 0; i < frames; ++i) {
        const double phase = frames > 1 ? static_cast<double>(i) / (frames - 1) : 0.0;
        const std::vector<const sd_tensor*>& blend = i == 0 ? first : (i == frames - 1 ? last : std::vector<const sd_tensor*>{});
        result->images.push_back(pictureTensor(width, height, drawStandinPicture(width, height, key, phase, blend)));
    }
    if (controls.audioChannels > 0 && controls.audioRate > 0) {
        const uint64_t sampleFrames = static_cast<uint64_t>(frames) * static_cast<uint64_t>(controls.audioRate) /
                                      static_cast<uint64_t>(fps > 0 ? fps : 1);
        const std::vector<float> sound = makeStandinSound(controls.audioChannels, controls.audioRate, sampleFrames, key);
        auto* samples = new sd_tensor;
        samples->type = SD_TENSOR_F32;
        samples->dims = {controls.audioChannels, static_cast<int64_t>(sampleFrames)};
        samples->data.resize(sound.size() * sizeof(float));
        if (!sound.empty()) std::memcpy(samples->data.data(), sound.data(), samples->data.size());
        result->audio = sd_audio{controls.audioRate, samples};
        result->hasAudio = true;
    }
    *out = result;
    return kStandinOk;
}

STANDIN_EXPORT int64_t sd_result_get_image_count(const sd_result* result) {
    return result ? static_cast<int64_t>(result->images.size()) : 0;
}

STANDIN_EXPORT sd_tensor* sd_result_get_image(const sd_result* result, int64_t index) {
    if (!result || index < 0 || index >= static_cast<int64_t>(result->images.size())) return nullptr;
    return result->images[static_cast<size_t>(index)];
}

STANDIN_EXPORT const sd_audio* sd_result_get_audio(const sd_result* result) {
    return result && result->hasAudio ? &result->audio : nullptr;
}

#ifndef STANDIN_WITHOUT_RESULT_GET_FPS
STANDIN_EXPORT int32_t sd_result_get_fps(const sd_result* result) { return result ? result->fps : 0; }
#endif

STANDIN_EXPORT void sd_result_free(sd_result* result) {
    if (!result) return;
    for (sd_tensor* image : result->images) delete image;
    delete result->audio.samples;
    delete result;
}
