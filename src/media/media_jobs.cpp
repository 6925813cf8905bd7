// Image and video jobs: start, events, cancellation, the media lock, the
// library call and the image steps. The video steps are in media_video_job.cpp.
#include <chrono>
#include <span>
#include <thread>

#include "base/logger.h"
#include "codec/png_image.h"
#include "engine/format_string.h"
#include "engine/mivrel_exception.h"
#include "media/job_options.h"
#include "media/media_engine.h"
#include "media/media_job_lock.h"
#include "media/sd_calls.h"
#include "media/sd_common_settings.h"
#include "storage/file_store.h"

namespace {

// How often a job that waits for the media lock looks at its cancel flag.
constexpr auto kLockPoll = std::chrono::milliseconds(20);

GenerationEvent eventOfType(const char* type) {
    GenerationEvent event;
    event.type = type;
    return event;
}

GenerationEvent errorEvent(const std::string& message) {
    GenerationEvent event = eventOfType("error");
    event.data["message"] = message;
    return event;
}

}  // namespace

bool MivrelMediaEngine::startInputGeneration(const GenerationInput& input) {
    if (!context_.load()) throw MivrelException(MivrelErrorCode::NotLoaded, "model is not loaded");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!workerDone_) throw MivrelException(MivrelErrorCode::BadInput, "generation already in progress");
    }
    checkSamplerNames(input.options);
    // The engine bounds what reaches the library itself, whoever the caller:
    // sizes, steps, frames, counts and reference images within the schema.
    GenerationInput job = input;
    validateGenerationInput(job, getInputSchema());
    joinWorker();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.clear();
        workerDone_ = false;
    }
    cancelRequested_.store(false);
    try {
        worker_ = std::thread([this, job = std::move(job)] { runJob(job); });
    } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        workerDone_ = true;
        throw;
    }
    return true;
}

bool MivrelMediaEngine::fetchNextEvent(GenerationEvent& event) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !events_.empty() || workerDone_; });
        if (!events_.empty()) {
            event = std::move(events_.front());
            events_.pop_front();
            return true;
        }
    }
    joinWorker();
    return false;
}

void MivrelMediaEngine::queueEvent(GenerationEvent event) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(std::move(event));
    }
    changed_.notify_all();
}

void MivrelMediaEngine::queueProgress(int32_t step, int32_t steps) {
    GenerationEvent event = eventOfType("progress");
    event.step = step;
    event.steps = steps;
    event.elapsedMs = steadyNowMs() - jobStartMs_.load();
    queueEvent(std::move(event));
}

std::unique_lock<std::mutex> MivrelMediaEngine::awaitMediaLock() {
    std::unique_lock<std::mutex> lock(mediaGenerationLock(), std::try_to_lock);
    if (lock.owns_lock()) return lock;
    queueEvent(eventOfType("queued"));
    // A job cancelled while it waits ends now instead of after the job that
    // holds the library. Polled with a plain mutex: a timed wait would work
    // as well, but the thread sanitizer of our compiler cannot see a timed
    // lock taken and then reports its release.
    while (!lock.try_lock()) {
        if (cancelRequested_.load()) return lock;
        std::this_thread::sleep_for(kLockPoll);
    }
    return lock;
}

MivrelMediaEngine::LibraryCall MivrelMediaEngine::callLibrary(int32_t steps, const std::function<int32_t()>& call) {
    LibraryCall outcome;
    if (cancelRequested_.load()) return outcome;
    jobStartMs_.store(steadyNowMs());
    expectedSteps.store(steps);
    currentMediaEngine.store(this);
    // Cleared when the call is over, while the job still holds the lock, so
    // it never clears the entry of the next job.
    struct ClearCurrent {
        ~ClearCurrent() { currentMediaEngine.store(nullptr); }
    } clearCurrent;
    // An abort between the test above and the store just before could not
    // reach the library yet; it is seen here.
    if (cancelRequested_.load()) return outcome;
    outcome.ran = true;
    outcome.status = call();
    if (outcome.status != 0) outcome.error = sdLastError();
    outcome.elapsedMs = steadyNowMs() - jobStartMs_.load();
    return outcome;
}

void MivrelMediaEngine::runJob(const GenerationInput& input) noexcept {
    GenerationEvent final;
    try {
        // One job at a time from the cancellation test until its outputs are
        // stored: reference images are decoded, the library runs and the
        // results are encoded and stored under the lock, so the files of two
        // jobs never interleave.
        const std::unique_lock<std::mutex> lock = awaitMediaLock();
        if (!lock.owns_lock() || cancelRequested_.load()) {
            final = eventOfType("cancelled");
        } else {
            final = isVideo() ? generateVideo(input) : generateImages(input);
        }
    } catch (const std::exception& e) {
        final = errorEvent(e.what());
    } catch (...) {
        final = errorEvent("generation failed");
    }
    if (final.type == "error") {
        const std::string message = final.data.value("message", std::string());
        logMessage(1, "[MediaEngine] 생성 실패: %s", message.c_str());
    }
    queueEvent(std::move(final));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        workerDone_ = true;
    }
    changed_.notify_all();
}

sd_tensor* MivrelMediaEngine::imageFileToSdTensor(const std::string& file, const GenerationInput& input,
                                                  SdTensorList& tensors) {
    if (!fileStore) throw MivrelException(MivrelErrorCode::RuntimeFailed, "file store is not attached");
    const Bytes bytes = fileStore->read(file, input.storeKey);
    RgbImage image;
    std::string reason;
    if (!decodeImageRgb(bytes, image, reason)) throw GenerationInputError("cannot read image: " + file);
    const int64_t dims[3] = {3, image.width, image.height};
    sd_tensor* tensor =
        SdLibrary::instance().fn.tensorCreate(SD_TENSOR_U8, 3, dims, image.pixels.data(), image.pixels.size());
    if (!tensor) throw std::runtime_error("sd.cpp tensor create failed: " + sdLastError());
    tensors.add(tensor);
    return tensor;
}

std::string MivrelMediaEngine::saveOutputs(const std::string& extension, const std::vector<uint8_t>& bytes,
                                           const GenerationInput& input) {
    if (!fileStore) throw MivrelException(MivrelErrorCode::RuntimeFailed, "file store is not attached");
    return fileStore->saveGeneratedFile("gen", extension, std::span<const uint8_t>(bytes), input.storeKey);
}

GenerationEvent MivrelMediaEngine::generateImages(const GenerationInput& input) {
    const SdLibrary& library = SdLibrary::instance();
    const nlohmann::json& o = input.options;
    const SdCommonSettings common =
        readSdCommonSettings(input, {.width = 1024, .height = 1024, .steps = 20, .cfg = 6.0, .tiling = false});
    const int64_t count = jobInt(o, "count", 1);

    // Freed in reverse order: the result, then the tensors, then the options.
    SdOptionsPtr options(library.fn.imgGenOptCreate());
    if (!options) throw std::runtime_error("sd.cpp image option create failed");
    SdTensorList tensors;
    SdResultPtr result;
    sd_opt* opt = options.get();
    applySdCommonSettings(opt, common, o);
    setSdOptionInt(opt, "batch_count", count);
    for (const std::string& file : input.filesOfType("image", "reference")) imageFileToSdTensor(file, input, tensors);
    if (!tensors.empty()) {
        checkSdStatus(library.fn.optSetTensors(opt, "ref_images", tensors.data(), static_cast<int64_t>(tensors.size())),
                      "sd.cpp option ref_images");
    }
    logMessage(4, "[MediaEngine] 생성 시작: %dx%d steps=%d cfg=%.1f seed=%lld count=%d refs=%zu vae_tiling=%s",
               static_cast<int>(common.width), static_cast<int>(common.height), static_cast<int>(common.steps), common.cfg,
               static_cast<long long>(common.seed), static_cast<int>(count), tensors.size(), common.tiling ? "on" : "off");

    sd_ctx* context = context_.load();
    const LibraryCall call = callLibrary(static_cast<int32_t>(common.steps), [&] {
        sd_result* raw = nullptr;
        const int32_t status = library.fn.generateImage(context, opt, &raw);
        result.reset(raw);
        return status;
    });
    const int64_t n = result ? library.fn.resultGetImageCount(result.get()) : 0;

    GenerationEvent event;
    event.elapsedMs = call.elapsedMs;
    if (!call.ran || cancelRequested_.load() || call.status == SD_STATUS_CANCELLED) {
        event.type = "cancelled";
    } else if (call.status != 0 || n <= 0) {
        event = errorEvent("image generation failed: " + (call.error.empty() ? std::string("empty result") : call.error));
        event.elapsedMs = call.elapsedMs;
    } else {
        event.type = "result";
        try {
            for (int64_t i = 0; i < n; ++i) {
                const VideoFrame image = imageOfSdTensor(library.fn.resultGetImage(result.get(), i));
                if (!image.pixels) continue;
                std::vector<uint8_t> png;
                if (!encodePng(image.width, image.height, image.channels, image.pixels, png)) {
                    throw std::runtime_error("PNG encoding failed for image " + std::to_string(i));
                }
                event.files.push_back(saveOutputs("png", png, input));
            }
            if (event.files.empty()) {
                event.type = "error";
                event.data["message"] = "generation result is empty";
            }
        } catch (const std::exception& e) {
            // What was stored stays, and the event names it.
            event.type = "error";
            event.data["message"] = e.what();
        }
        event.data["seed"] = common.seed;
        event.data["width"] = common.width;
        event.data["height"] = common.height;
        event.data["steps"] = common.steps;
    }
    logMessage(4, "[MediaEngine] 생성 끝: %s (%lld ms) files=%zu", event.type.c_str(),
               static_cast<long long>(event.elapsedMs), event.files.size());
    return event;
}
