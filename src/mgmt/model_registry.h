// The model registry files: "models.json" in DIR_MODELS (an object whose
// "models" array holds one entry per model, found by its "modelId") and each
// model folder's "properties.json" (the model's settings and defaults), with
// the mutex that orders the rewrites of "models.json" and the two pickers that
// instance creation uses to choose a setting from a request and a model.
#pragma once

#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

// Orders every load-modify-write of "models.json" (registration, downloads,
// start-up recovery, catalogue refresh). Readers that only load the file do
// not take it: files are replaced whole, so a reader sees the old or the new
// document. Never held together with the download table's mutex.
extern std::mutex modelsJsonMutex;

// `modelsDir` joined with "models.json".
std::string modelsJsonPath(const std::string& modelsDir);

// The first entry of registry["models"] that is an object whose "modelId" is
// the text `modelId` (an empty id also matches an entry without "modelId"),
// or null when there is none or the registry has no "models" array. Never
// throws. The pointer lives as long as `registry` is not changed.
const nlohmann::json* findModelEntry(const nlohmann::json& registry, const std::string& modelId);

// A copy of first[key] when `first` is an object holding `key` with a
// non-null value, else of second[key] under the same test, else `fallback`.
// Never throws.
nlohmann::json pickSettingValue(const nlohmann::json& first, const nlohmann::json& second, const std::string& key,
                                const nlohmann::json& fallback);

// A copy of object[key] when `object` is an object holding `key` with a
// non-null value, else of modelProperties["genDefaults"][key] when that is
// present and non-null, else `fallback`. Never throws.
nlohmann::json pickSettingValueNested(const nlohmann::json& object, const nlohmann::json& modelProperties,
                                      const std::string& key, const nlohmann::json& fallback);

// The "models.json" of `modelsDir` loaded and checked: an object whose
// "models" is an array.
// Throws std::runtime_error with the reason (the file cannot be opened, does
// not parse, or has another shape). A caller that writes the registry back
// starts from this, so a damaged file is reported and never replaced.
nlohmann::json loadModelsRegistry(const std::string& modelsDir);

// Like loadModelsRegistry, but a missing file gives {"models": []}; a file
// that exists and cannot be read or parsed still throws.
nlohmann::json loadModelsRegistryOrEmpty(const std::string& modelsDir);

// The index in registry["models"] of the first object whose "modelId" is the
// text `modelId`, or -1. REQUIRES: the shape loadModelsRegistry checks.
long findModelIndex(const nlohmann::json& registry, const std::string& modelId);

// The text member `key` of `entry`, "" when absent or not a text.
std::string modelText(const nlohmann::json& entry, const char* key);

// The model's folder (resolveModelStoragePath in `modelsDir` of its
// "modelId" and "storagePath"); empty when the entry's "modelId" breaks the
// id rule (isValidRegistryId), so that no such id is ever joined to a folder.
std::string modelFolderOf(const std::string& modelsDir, const nlohmann::json& entry);

// A model as an instance uses it: its folder, its main file (the folder, "/"
// and the entry's "filename") and its display name (the entry's "name").
struct RegisteredModel {
    std::string folder;
    std::string path;
    std::string name;
};

// The first entry of `registry` for `modelId` (findModelEntry) as a
// RegisteredModel; false when there is none or it has no folder
// (modelFolderOf: also an id that breaks the id rule). Never throws.
bool findRegisteredModel(const std::string& modelsDir, const nlohmann::json& registry, const std::string& modelId,
                         RegisteredModel& model);

// True when `folder` lies strictly inside `modelsDir`, compared by path
// components after resolving links and "..", so the models directory itself
// and folders elsewhere are not. Never throws.
bool isInsideModelsDir(const std::string& modelsDir, const std::string& folder);

// True when `a` and `b` are the same folder or one lies inside the other,
// compared by path components after resolving links and "..". A path that
// cannot be resolved counts as overlapping, so that callers deciding
// whether a removal is safe keep the folder. Never throws.
bool foldersOverlap(const std::string& a, const std::string& b);

// True when the folder of some entry of `registry` other than `modelId`'s
// overlaps `folder` (foldersOverlap): removing `folder` would take files
// another registered model uses. Never throws.
bool folderUsedByAnotherModel(const std::string& modelsDir, const nlohmann::json& registry,
                              const std::string& modelId, const std::string& folder);

// True for the file names the registries use themselves ("models.json",
// "properties.json", "mivrel.json" and the temporary files of their
// rewrites), in any letter case: a downloaded file must never take one of
// them. Thread-safe.
bool isRegistryFileName(const std::string& name);

// Empty when `registry` may be written as models.json: every record keeps
// the field limits of base/stored_document.h and the file stays within
// kMaxModelRegistryBytes; else the refusal's message. Thread-safe.
std::string modelRegistryRefusal(const nlohmann::json& registry);

// The current UTC time as "%Y-%m-%dT%H:%M:%SZ".
std::string utcTimestamp();
