// The one way requests and management paths take hold of an instance.
//
// A claim is the instance's state moved by compare-and-exchange: idle to
// running for a request that uses the engine, idle to loading for the
// management start (and, briefly, for an unload or a removal). Only one claim
// can be held at a time, so only one user drives the engine, and unload and
// removal refuse an instance that someone has claimed. The engine itself is
// installed under the instance's load lock (Mivrel::ensureEngine), so exactly
// one engine is ever installed even when unclaimed users race for it.
//
// A MivrelClaim is movable, not copyable; it ends the claim when destroyed.
// Different claims may be used from different threads; one claim object
// REQUIRES external synchronization.
#pragma once

#include <functional>
#include <memory>

#include "engine/mivrel.h"

enum class ClaimResult {
    kOk,         // claimed, unloaded or removed
    kNotLoaded,  // unloadUnclaimed: there was no engine; nothing was done
    kNotFound,   // no instance with that id
    kBusy,       // a request is running or stopping on the instance
    kLoading,    // the instance is being loaded (or unloaded or removed)
    kRemoved,    // the instance was removed from the manager
};

enum class ClaimKind {
    kRun,    // idle -> running; clears abortRequested; its end records activity
    kBrief,  // as kRun for a short engine use that is no generation
             // (tokenize, reset, switch-conversation): records no activity
    kLoad,   // idle -> loading
};

class MivrelClaim {
public:
    MivrelClaim() = default;
    MivrelClaim(MivrelClaim&& other) noexcept;
    MivrelClaim& operator=(MivrelClaim&& other) noexcept;
    MivrelClaim(const MivrelClaim&) = delete;
    MivrelClaim& operator=(const MivrelClaim&) = delete;
    ~MivrelClaim() { release(); }

    // Claims `mivrel` (which may be null: kNotFound). On success the returned
    // claim is held and `result` is kOk; otherwise the claim is empty and
    // `result` says why. Never throws.
    static MivrelClaim acquire(std::shared_ptr<Mivrel> mivrel, ClaimKind kind, ClaimResult* result = nullptr);

    explicit operator bool() const { return held_; }
    Mivrel* operator->() const { return mivrel_.get(); }
    Mivrel& operator*() const { return *mivrel_; }
    const std::shared_ptr<Mivrel>& mivrel() const { return mivrel_; }
    ClaimKind kind() const { return kind_; }

    // Installs the instance's engine when it has none (Mivrel::ensureEngine):
    // true when it loaded now. A load failure passes to the caller; the claim
    // stays held and the instance has no engine. REQUIRES: the claim is held.
    bool ensureEngine(const std::function<void()>& beforeLoad = {});

    // Ends the claim: the state returns to idle; a kRun claim also records
    // the current time as the last activity. Does nothing for an empty claim.
    // Never throws.
    void release();

    // Ends the claim like release() but leaves lastActiveAt alone: for a
    // request that was refused, or that only looked at the engine (tokenize,
    // reset, switch-conversation), which is no use of the model that should
    // keep it loaded longer. Never throws.
    void releaseWithoutActivity();

    // Ends the claim by unloading the instance (Mivrel::unload); the instance
    // is idle without engine afterwards. REQUIRES: the claim is held.
    void releaseWithUnload(bool keepStore);

    // Mivrel::releaseAfterGenerate: under an "after_generate" policy unloads
    // the instance, ends the claim and returns true; otherwise the claim stays
    // held and the result is false. REQUIRES: the claim is held.
    bool releaseAfterGenerate();

private:
    friend class MivrelManager;  // replaceMivrel keeps the old record claimed for good
    MivrelClaim(std::shared_ptr<Mivrel> mivrel, ClaimKind kind) : mivrel_(std::move(mivrel)), kind_(kind), held_(true) {}
    void end(bool recordActivity);

    std::shared_ptr<Mivrel> mivrel_;
    ClaimKind kind_ = ClaimKind::kRun;
    bool held_ = false;
};

// Unloads an instance that nobody has claimed (the explicit unloads, the
// service switch-off, the idle release). It claims the instance for loading
// first, so no request can start on it meanwhile, then unloads it with
// `keepStore` and leaves it idle. kOk when an engine was unloaded, kNotLoaded
// when there was none (nothing done), kBusy, kLoading or kRemoved when it
// could not be claimed (nothing done), kNotFound for null. Never throws.
ClaimResult unloadUnclaimed(const std::shared_ptr<Mivrel>& mivrel, bool keepStore);

// The reason a claim of an instance in `state` fails.
ClaimResult claimRefusal(int state);
