// Ids that become folder names: instance ids under DIR_MIVREL and model ids
// under DIR_MODELS.
#pragma once

#include <string>

// True when `id` is 1 to 128 of A-Z, a-z, 0-9, ".", "_" and "-", and is
// neither "." nor "..": such an id names exactly one folder inside its parent
// on every platform. Thread-safe.
bool isValidRegistryId(const std::string& id);

// True when `id` cannot leave its parent folder: not empty, not "." or "..",
// and without "/", "\" or NUL. The looser test start-up applies to ids that
// are already on disk, so instances made before the strict rule stay usable.
bool isContainedRegistryId(const std::string& id);

// True when a model id can be joined to the models folder and stay inside
// it: isContainedRegistryId, no drive prefix such as "C:" (which would make
// the joined path leave the folder on Windows), and at most 255 bytes (one
// file name). The strict pattern is for the ids this system makes up; model
// ids come from models.json, where names like "Qwen3 0.6B [Q8_0]" occur.
bool isModelFolderId(const std::string& id);
