// Instance lifecycle steps shared by the management endpoints, the service
// switch and model deletion: unloading with a bounded wait for a running
// generation, removing an instance's files and registry entry, and the
// forced delete.
//
// Every step that touches an engine goes through a claim (engine/
// mivrel_claim.h), so none of them ever unloads or removes an instance that a
// request is driving. All functions are safe for concurrent use from
// connection threads; each may block its caller for up to its wait bound.
#pragma once

#include <memory>
#include <string>

#include "config/data_folders.h"

class MivrelManager;

class Mivrel;

// How long a stop request waits for a running generation to end.
inline constexpr int kGenerationStopWaitMs = 5000;

enum class UnloadOutcome {
    kUnloaded,   // an engine was installed and is gone now
    kNotLoaded,  // there was no engine (a marked store was emptied)
    kTimedOut,   // a generation did not end in time; the engine stays
    kRemoved,    // the instance left the manager meanwhile
};

// Unloads `mivrel`: a running generation is asked to stop and awaited for at
// most `waitMs` in all; a start or unload of someone else is awaited within
// the same bound. With `keepStore` false a store marked
// "truncate_storage_on_unload" is emptied (also without an engine). Holds the
// instance mutex only while it claims and unloads. Never throws.
UnloadOutcome unloadWaiting(const std::shared_ptr<Mivrel>& mivrel, bool keepStore, int waitMs);

// mivrelDir/id.
std::string mivrelFolder(const std::string& mivrelDir, const std::string& id);

// True when `id` may be joined to DIR_MIVREL: the registry id rule, or the
// looser rule start-up applies for an instance registered from disk
// (`registered`: the manager holds an instance under `id`).
bool isUsableMivrelId(const std::string& id, bool registered);
// The same, asking `mivrels` (null: no manager) whether it holds `id`.
bool isUsableMivrelId(const MivrelManager* mivrels, const std::string& id);

// Takes `id` out of the mivrel.json of `folders` (a list that cannot be read
// or has no array is logged and left as it is, never overwritten) and
// deletes the instance folder when it exists. False with `error` "디렉토리 삭제 실패: " + the reason when
// the folder could not be deleted. Holds mivrelJsonMutex for both steps, so
// a creation of the same id waits until the old folder is gone instead of
// writing into a folder that is being deleted. REQUIRES: isUsableMivrelId(id).
bool removeMivrelRecord(const DataFolders& folders, const std::string& id, std::string& error);

enum class DeleteOutcome {
    kDeleted,   // out of the manager (when it was there), the list and the disk
    kOccupied,  // claimed by a request or a start; nothing changed
    kFailed,    // the folder could not be deleted (`error`); the instance is
                // already out of the manager and the list
};

// The plain delete: refuses a claimed instance, else removes it from the
// manager and then its record (removeMivrelRecord), all under
// mivrelJsonMutex, so a creation of the same id comes wholly before or
// wholly after. Never waits for a generation. REQUIRES: isUsableMivrelId(id).
// `mivrels` may be null (no manager): then only the record goes.
DeleteOutcome deleteMivrel(const DataFolders& folders, MivrelManager* mivrels, const std::string& id,
                          std::string& error);

// Deletes the instance whatever it is doing: a running generation is stopped
// and awaited (at most 5 s), the engine unloaded (a marked store emptied),
// the instance removed from the manager, then removeMivrelRecord. False with
// `error` set when the generation did not stop in time (nothing removed) or
// the record could not be removed.
bool forceDeleteMivrel(const DataFolders& folders, MivrelManager* mivrels, const std::string& id, std::string& error);
