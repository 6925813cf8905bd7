// The release watcher: a background thread that gives back the model of every
// instance whose release policy is "idle:N" once it has been idle N minutes,
// looking every 30 seconds. "keep" and "after_generate" instances are never
// touched here.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

struct ServiceContext;

// One pass over the manager's instances at wall-clock time `now` (epoch ms).
// An instance is unloaded (its store emptied when it is marked
// "truncate_storage_on_unload") when it has an engine, is idle, resolves to
// an "idle" policy, was active at least once and not for the policy's
// minutes. The watcher claims the instance (idle to loading, by compare-and-
// exchange) and checks it again under the claim before unloading, so a
// request can never start on an engine being destroyed and an instance used
// in between keeps its model. Each release is logged and recorded in the
// event log. Does nothing without a manager. Throws what the event log or the
// policy resolution throw. Safe to run beside requests on any thread.
void checkIdleRelease(const ServiceContext& services, int64_t now);
// The same at the current time.
void checkIdleRelease(const ServiceContext& services);

// Runs checkIdleRelease on its own thread 30 seconds after start and then 30
// seconds after the end of each pass, until stopped. A pass that throws is
// logged (level 1) and the next pass follows as usual.
class ReleaseWatcher {
public:
    // Passes run over `services`, which must outlive the watcher.
    explicit ReleaseWatcher(const ServiceContext& services) : services_(services) {}
    // Stops the thread.
    ~ReleaseWatcher();
    ReleaseWatcher(const ReleaseWatcher&) = delete;
    ReleaseWatcher& operator=(const ReleaseWatcher&) = delete;

    // Starts the thread; `periodMs` is for tests. Throws std::system_error
    // when the thread cannot be made. REQUIRES: not started.
    void start(int64_t periodMs = 30000);

    // Wakes the thread, waits for a running pass to end and joins it. Does
    // nothing when not started. REQUIRES: external synchronization with start.
    void stop();

private:
    void run(int64_t periodMs);

    const ServiceContext& services_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};
