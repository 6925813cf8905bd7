// The configuration an instance gets when it is reloaded after a change of
// its settings file: rebuilt from its properties.json, starting from the
// configuration it has now, so that a model that cannot be found or read
// leaves the instance with the model it had instead of none.
#pragma once

#include "config/data_folders.h"
#include "engine/mivrel_config.h"

// A new configuration for `current.id` from the instance's properties.json
// (in the instance folder of `folders`):
// - name, description and type ("local" when missing) and the load settings'
//   parameters from that file, the load and context settings derived from it
//   and the model properties (mivrelParams);
// - model path, model name, model folder, model properties, assembler key
//   and familyType from `current`, unless the file's "modelId" names a model
//   of models.json (findRegisteredModel): then model path and name are that
//   model's, and when its properties.json reads, the other four are taken
//   from it (assembler default "default", familyType default "LLM");
// - the thinking and tool-call tags unchanged from `current`.
// An unreadable models.json, an id without entry or usable folder, an empty
// "modelId" and an unreadable model properties.json are not reported.
// Throws when the instance's properties.json cannot be read or its settings
// cannot be used; the caller keeps `current` then. Reads files only.
MivrelConfig reloadedMivrelConfig(const DataFolders& folders, const MivrelConfig& current);
