// MivrelManager: the process-wide registry of instances by id.
//
// Instances are held through shared pointers: find and snapshotMivrels hand
// out shared ownership, so a request that found an instance keeps a live
// record even when the instance is removed meanwhile. Removal refuses a
// claimed instance (mivrel_claim.h) and retires the removed one, so it can
// never be claimed again.
//
// Safe for concurrent use by multiple threads: one reader/writer lock, shared
// for find and snapshotMivrels, exclusive for addMivrel and removeMivrel, held
// only for the map operation.
#pragma once

#include <map>
#include <memory>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "engine/mivrel.h"
#include "engine/mivrel_claim.h"

class MivrelManager {
public:
    MivrelManager() = default;
    // A manager whose instances ask `engineMaker` first for their engines
    // (tests put their own engines in this way).
    explicit MivrelManager(MivrelEngineMaker engineMaker) : engineMaker_(std::move(engineMaker)) {}
    MivrelManager(const MivrelManager&) = delete;
    MivrelManager& operator=(const MivrelManager&) = delete;

    // The folder that holds one folder per instance ("mivrel" until set).
    // REQUIRES: set during start-up, before other threads use the manager.
    void setDir(const std::string& dir) { dir_ = dir; }
    const std::string& dir() const { return dir_; }

    // The instance with that id, or null.
    std::shared_ptr<Mivrel> find(const std::string& id) const;

    // All instances in byte order of their ids.
    std::vector<std::shared_ptr<Mivrel>> snapshotMivrels() const;

    // Registers a new idle instance without engine: its store is configured at
    // dir/id/storage.kvx (encrypted when params "enable_storage_encryption"
    // is the boolean true, not opened) with its truncate flag from params
    // "truncate_storage_on_unload" (again only the boolean true). False, with
    // the configuration dropped, when the id is registered already.
    bool addMivrel(MivrelConfig&& config);

    // Unregisters the instance unless someone has claimed it: kOk when it was
    // removed (its engine is destroyed at once; the record lives on until the
    // last holder lets go, and can never be claimed again), kNotFound, or
    // kBusy / kLoading with nothing changed.
    ClaimResult removeMivrel(const std::string& id);

    // Swaps the instance held by `claim` (a load claim) for a new idle one
    // made from `config`, as addMivrel makes it, under the same id. The old
    // record is retired with its engine destroyed and stays claimed for good,
    // so requests that still hold it can never use it again; readers of its
    // configuration keep a consistent copy. True when swapped (the claim is
    // consumed); false, with the claim and the configuration untouched
    // elsewhere, when the id no longer names that record.
    bool replaceMivrel(MivrelClaim& claim, MivrelConfig&& config);

    // For every instance whose store has the truncate-on-unload flag, empties
    // the store; returns how many were emptied.
    int truncateStorageOnUnload();

private:
    std::shared_ptr<Mivrel> makeMivrel(MivrelConfig&& config) const;

    std::string dir_ = "mivrel";
    const MivrelEngineMaker engineMaker_;
    mutable std::shared_mutex lock_;
    std::map<std::string, std::shared_ptr<Mivrel>> instances_;
};

