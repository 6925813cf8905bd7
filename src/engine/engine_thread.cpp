#include "engine/engine_thread.h"

#include <utility>

EngineThread::~EngineThread() { stop(); }

bool EngineThread::isCurrent() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return thread_.joinable() && threadId_ == std::this_thread::get_id();
}

void EngineThread::startLocked() {
    if (thread_.joinable()) return;
    stopping_ = false;
    thread_ = std::thread([this] { loop(); });
    threadId_ = thread_.get_id();
}

void EngineThread::run(const std::function<void()>& job) {
    if (isCurrent()) {
        job();
        return;
    }
    post(job);
    wait();
}

void EngineThread::post(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        startLocked();
        job_ = std::move(job);
        failure_ = nullptr;
        pending_ = true;
        posted_ = true;
        finished_ = false;
    }
    wake_.notify_one();
}

void EngineThread::wait() {
    std::exception_ptr failure;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!posted_) return;
        done_.wait(lock, [this] { return finished_; });
        posted_ = false;
        failure = std::move(failure_);
        failure_ = nullptr;
    }
    if (failure) std::rethrow_exception(failure);
}

void EngineThread::stop() noexcept {
    std::thread ending;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!thread_.joinable() || threadId_ == std::this_thread::get_id()) return;
        // A job in hand finishes first; its result stays for wait().
        done_.wait(lock, [this] { return !pending_ && (!posted_ || finished_); });
        stopping_ = true;
        ending = std::move(thread_);
        threadId_ = std::thread::id();
    }
    wake_.notify_one();
    ending.join();
}

void EngineThread::loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return pending_ || stopping_; });
        if (!pending_) return;
        std::function<void()> job = std::move(job_);
        job_ = nullptr;
        pending_ = false;
        lock.unlock();
        std::exception_ptr failure;
        try {
            job();
        } catch (...) {
            failure = std::current_exception();
        }
        // The job's captures go before its user hears that it ended.
        job = nullptr;
        lock.lock();
        failure_ = failure;
        finished_ = true;
        done_.notify_all();
    }
}
