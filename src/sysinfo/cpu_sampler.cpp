#include "sysinfo/cpu_sampler.h"

#include <chrono>

#include "platform/processor_times.h"

CpuSampler::CpuSampler(std::string procRoot, int periodMs) : procRoot_(std::move(procRoot)), periodMs_(periodMs) {}

CpuSampler::~CpuSampler() { stop(); }

void CpuSampler::start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (started_ || stopping_) return;
    thread_ = std::thread(&CpuSampler::run, this);
    started_ = true;
}

void CpuSampler::stop() {
    std::thread joined;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        joined = std::move(thread_);
    }
    wake_.notify_all();
    if (joined.joinable()) joined.join();
}

void CpuSampler::run() {
    ProcessorTimes previous;
    bool havePrevious = readProcessorTimes(procRoot_, previous);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        // The period runs from the end of the previous round, as a sleep
        // would; stop() cuts it short.
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(periodMs_);
        if (wake_.wait_until(lock, until, [this] { return stopping_; })) return;
        lock.unlock();
        ProcessorTimes now;
        if (readProcessorTimes(procRoot_, now)) {
            if (havePrevious) {
                const double busy = busyPercentBetween(previous, now);
                if (busy >= 0.0) percent_.exchange(busy);
            }
            previous = now;
            havePrevious = true;
        }
        lock.lock();
    }
}

namespace {
std::atomic<CpuSampler*> gSampler{nullptr};
std::mutex gSamplerMutex;
}  // namespace

CpuSampler& processCpuSampler() {
    CpuSampler* sampler = gSampler.load();
    if (sampler) return *sampler;
    std::lock_guard<std::mutex> lock(gSamplerMutex);
    sampler = gSampler.load();
    if (!sampler) {
        // Never deleted: connection threads may still read it while the
        // process ends; stopCpuSampler() ends its thread.
        sampler = new CpuSampler();
        gSampler.store(sampler);
    }
    return *sampler;
}

void stopCpuSampler() {
    CpuSampler* sampler = gSampler.load();
    if (sampler) sampler->stop();
}
