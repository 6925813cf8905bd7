#include "app/release_watcher.h"

#include <chrono>
#include <exception>
#include <string>

#include "base/logger.h"
#include "base/text_util.h"
#include "config/event_manager.h"
#include "engine/mivrel_claim.h"
#include "engine/mivrel_manager.h"
#include "mgmt/service_context.h"

namespace {

// Loaded, idle, under an "idle" policy and idle long enough at `now`; the
// last-active time seen is returned in `lastActive`.
bool dueForRelease(const Mivrel& mivrel, int64_t now, ReleasePolicy& policy, int64_t& lastActive) {
    if (!mivrel.hasEngine()) return false;
    const int state = mivrel.state.load();
    // Running, stopping and loading instances are somebody else's.
    if (state != kMivrelIdle) return false;
    policy = mivrel.releasePolicy();
    if (policy.kind != "idle") return false;
    lastActive = mivrel.lastActiveAt.load();
    return lastActive > 0 && now - lastActive >= static_cast<int64_t>(policy.idleMinutes) * 60000;
}

}  // namespace

void checkIdleRelease(const ServiceContext& services, int64_t now) {
    for (const std::shared_ptr<Mivrel>& mivrel : services.snapshotMivrels()) {
        ReleasePolicy policy;
        int64_t lastActive = 0;
        if (!dueForRelease(*mivrel, now, policy, lastActive)) continue;
        // Between the look above and here a request may have claimed the
        // instance, or used it and let go: the claim settles the first, the
        // second look under the claim the rest.
        MivrelClaim claim = MivrelClaim::acquire(mivrel, ClaimKind::kLoad);
        if (!claim) continue;
        if (!mivrel->hasEngine() || mivrel->lastActiveAt.load() != lastActive) continue;
        const std::string id = mivrel->config.id;
        claim.releaseWithUnload(false);
        logMessage(4, "[releaseWatcher] %s 유휴 %lld분 → 모델 해제 (release_policy=idle:%d)", id.c_str(),
                   static_cast<long long>((now - lastActive) / 60000), policy.idleMinutes);
        services.addEvent("info", "mivrel", id, "Mivrel unloaded",
                          "release_policy=idle:" + std::to_string(policy.idleMinutes));
    }
}

void checkIdleRelease(const ServiceContext& services) { checkIdleRelease(services, nowMs()); }

ReleaseWatcher::~ReleaseWatcher() { stop(); }

void ReleaseWatcher::start(int64_t periodMs) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = false;
    }
    thread_ = std::thread([this, periodMs] { run(periodMs); });
}

void ReleaseWatcher::stop() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void ReleaseWatcher::run(int64_t periodMs) {
    using Clock = std::chrono::steady_clock;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            const Clock::time_point start = Clock::now();
            // A deadline past the clock's end waits until the end.
            const Clock::duration period = std::chrono::milliseconds(periodMs);
            const Clock::time_point deadline =
                Clock::time_point::max() - start < period ? Clock::time_point::max() : start + period;
            wake_.wait_until(lock, deadline, [this] { return stopping_; });
            if (stopping_) return;
        }
        try {
            checkIdleRelease(services_);
        } catch (const std::exception& e) {
            logMessage(1, "[releaseWatcher] 예외: %s", e.what());
        } catch (...) {
            logMessage(1, "[releaseWatcher] 알 수 없는 예외");
        }
    }
}
