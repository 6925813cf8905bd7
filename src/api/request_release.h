// The end-of-request release of an instance that an inference request
// claimed: back to idle with a fresh last-active time, or unloaded when the
// instance's release policy is "after_generate".
//
// Handlers keep their claim in a RequestRelease, which runs the release once:
// explicitly, before the last byte of the reply is written (so a client's
// next request never sees a stale busy state), or at the latest when it goes
// out of scope, also while an exception leaves the handler.
#pragma once

#include "engine/mivrel_claim.h"

// Ends `claim` (nothing for an empty one). The "after_generate" policy
// applies when the familyType is none of "IMAGE", "VIDEO", "AUDIO", an engine
// is installed and the policy resolves to "after_generate": the instance is
// unloaded keeping its store, logged and recorded as "Mivrel unloaded" in the
// event log. Otherwise the instance becomes idle with lastActiveAt = now.
// Never throws; a failure is logged and the claim still ends.
void releaseAfterRequest(MivrelClaim& claim) noexcept;

// Owns one request's claim and releases it exactly once.
// REQUIRES external synchronization (the request's connection thread).
class RequestRelease {
public:
    RequestRelease() = default;
    ~RequestRelease() { run(); }
    RequestRelease(const RequestRelease&) = delete;
    RequestRelease& operator=(const RequestRelease&) = delete;

    // Takes over a held claim; an earlier claim is released first.
    void arm(MivrelClaim claim);
    // releaseAfterRequest on the claim, once; later calls do nothing.
    void run() noexcept;
    // For a request that was refused or failed before its generation began:
    // ends the claim without the after-request release (no "after_generate"
    // unload) and without counting the request as activity. Once; a later
    // run() does nothing.
    void refuse() noexcept;

    bool armed() const { return static_cast<bool>(claim_); }
    MivrelClaim& claim() { return claim_; }

private:
    MivrelClaim claim_;
};
