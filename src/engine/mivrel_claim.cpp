#include "engine/mivrel_claim.h"

#include "base/text_util.h"

ClaimResult claimRefusal(int state) {
    return state == kMivrelLoading ? ClaimResult::kLoading : ClaimResult::kBusy;
}

MivrelClaim::MivrelClaim(MivrelClaim&& other) noexcept
    : mivrel_(std::move(other.mivrel_)), kind_(other.kind_), held_(other.held_) {
    other.held_ = false;
}

MivrelClaim& MivrelClaim::operator=(MivrelClaim&& other) noexcept {
    if (this != &other) {
        release();
        mivrel_ = std::move(other.mivrel_);
        kind_ = other.kind_;
        held_ = other.held_;
        other.held_ = false;
    }
    return *this;
}

MivrelClaim MivrelClaim::acquire(std::shared_ptr<Mivrel> mivrel, ClaimKind kind, ClaimResult* result) {
    ClaimResult outcome = ClaimResult::kOk;
    MivrelClaim claim;
    if (!mivrel) {
        outcome = ClaimResult::kNotFound;
    } else {
        int expected = kMivrelIdle;
        const int target = kind == ClaimKind::kLoad ? kMivrelLoading : kMivrelRunning;
        if (mivrel->state.compare_exchange_strong(expected, target)) {
            // A removed instance stays in the loading state for good, so a
            // successful exchange means it is still registered.
            if (kind != ClaimKind::kLoad) mivrel->abortRequested.store(false);
            claim = MivrelClaim(std::move(mivrel), kind);
        } else {
            outcome = mivrel->retired.load() ? ClaimResult::kRemoved : claimRefusal(expected);
        }
    }
    if (result) *result = outcome;
    return claim;
}

bool MivrelClaim::ensureEngine(const std::function<void()>& beforeLoad) {
    return mivrel_->ensureEngine(beforeLoad);
}

void MivrelClaim::release() { end(kind_ == ClaimKind::kRun); }

void MivrelClaim::releaseWithoutActivity() { end(false); }

void MivrelClaim::end(bool recordActivity) {
    if (!held_) return;
    held_ = false;
    // Still the claim holder here: the one moment the engine may be read for
    // the status views without disturbing anyone.
    mivrel_->refreshStatusView();
    if (recordActivity) mivrel_->lastActiveAt.store(nowMs());
    // Running or stopping (a stop may have moved it) becomes idle.
    mivrel_->state.exchange(kMivrelIdle);
}

void MivrelClaim::releaseWithUnload(bool keepStore) {
    if (!held_) return;
    held_ = false;
    mivrel_->unload(keepStore);  // idle only once the engine is gone
}

bool MivrelClaim::releaseAfterGenerate() {
    if (!held_) return false;
    if (!mivrel_->releaseAfterGenerate(mivrel_->config.id)) return false;
    held_ = false;
    return true;
}

ClaimResult unloadUnclaimed(const std::shared_ptr<Mivrel>& mivrel, bool keepStore) {
    ClaimResult result = ClaimResult::kOk;
    MivrelClaim claim = MivrelClaim::acquire(mivrel, ClaimKind::kLoad, &result);
    if (!claim) return result;
    if (!mivrel->hasEngine()) return ClaimResult::kNotLoaded;  // the claim's end makes it idle again
    claim.releaseWithUnload(keepStore);
    return ClaimResult::kOk;
}
