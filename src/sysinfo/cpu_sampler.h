// The processor-load sampler: one background thread that reads the system's
// processor times once a second and keeps the busy share of the last
// interval, so a status request reads the last value and never waits.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include <atomic>

class CpuSampler {
public:
    // Reads procRoot + "/stat" every `periodMs` milliseconds once started.
    explicit CpuSampler(std::string procRoot = "/proc", int periodMs = 1000);
    // Stops the thread (see stop()).
    ~CpuSampler();
    CpuSampler(const CpuSampler&) = delete;
    CpuSampler& operator=(const CpuSampler&) = delete;

    // Starts the thread unless it runs or has been stopped; later calls do
    // nothing. Throws std::system_error when the thread cannot be created
    // (a later call tries again). Safe for concurrent use.
    void start();

    // Wakes the thread and joins it; the last value stays readable. Nothing
    // starts it again. Safe for concurrent use; never throws.
    void stop();

    // The busy share of the last interval in percent (0..100), or -1 before
    // the first interval has been measured. Safe from any thread.
    double percent() const { return percent_.load(); }

private:
    void run();

    const std::string procRoot_;
    const int periodMs_;
    std::atomic<double> percent_{-1.0};
    std::mutex mutex_;  // guards thread_, started_, stopping_
    std::condition_variable wake_;
    std::thread thread_;
    bool started_ = false;
    bool stopping_ = false;
};

// The process-wide sampler over /proc. It is started by the first processor
// load figure asked for and stopped by stopCpuSampler() on the exit path.
CpuSampler& processCpuSampler();

// Stops the process-wide sampler when it was ever made. Call on the normal
// exit path.
void stopCpuSampler();
