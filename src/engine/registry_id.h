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

// True when a model id in a request cannot lead out of the models folder:
// isContainedRegistryId, no drive prefix such as "C:", and at most 255 bytes.
// A request whose model id fails this is malformed (400); one that passes it
// still names a model only when its id keeps isValidRegistryId, the rule
// every join of a registry id to a folder applies.
bool isModelFolderId(const std::string& id);
