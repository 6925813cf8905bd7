// Making a new instance from a client's request: the request is checked, the
// model found in the model registry, the instance's properties.json and its
// entry in mivrel.json written, and the instance registered with the manager
// (idle, not loaded).
#pragma once

#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "config/data_folders.h"

class MivrelManager;

struct CreateMivrelResult {
    bool ok = false;
    std::string mivrelId;
    std::string name;
    std::string description;
    nlohmann::json properties;  // as written to properties.json
    int httpStatus = 500;
    std::string errorCode;
    std::string errorMessage;
};

// Creates the instance described by `request` (a JSON object). Every check
// runs before anything is written: a refusal leaves the disk and the manager
// unchanged. Refusals: 400 "bad_request" (missing fields, an id that is not a
// plain folder name, bad settings), 409 "mivrel_already_exists", 404
// "model_not_found", 409 "model_not_downloaded", 500 "internal_error" (a
// registry that cannot be read or written; an existing mivrel.json that does
// not parse is refused, never replaced). Files are replaced durably.
// Throws nlohmann::json::type_error for a request field of the wrong type
// (for example a number as "name"), also before anything is written.
// Safe for concurrent use: creations are serialised on mivrelJsonMutex, so
// none loses another's registry entry.
// The registries are those in `folders`. The new instance is registered with
// `mivrels` (null: files only).
CreateMivrelResult createMivrel(const DataFolders& folders, MivrelManager* mivrels, const nlohmann::json& request);

// "mivrel-" and 12 lower-case hexadecimal digits of a random 48-bit number,
// for a creation request without an id. Each thread draws from its own
// generator, seeded once from the system's random device. Thread-safe.
std::string generateMivrelId();

// Orders every load-modify-write of mivrel.json (creation, removal).
extern std::mutex mivrelJsonMutex;

// `mivrelDir` joined with "mivrel.json".
std::string mivrelJsonPath(const std::string& mivrelDir);
