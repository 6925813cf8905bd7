// The start-up steps that bring the data folders and the registries into
// being and register every listed instance, in the folders start-up hands
// them (the configuration is never read here). Each step runs on the server
// thread during start-up; problems with single files are logged (level 2) and
// start-up goes on.
#pragma once

#include <string>

#include "config/data_folders.h"
#include "engine/mivrel_config.h"

class MivrelManager;

// Makes the instance, model and log folders of `folders` (with missing
// parents), in this order. Throws AppInitException 1104 "<KEY> directory creation failed:
// <value> (<reason>)" when one cannot be made; lets the file system's error
// pass when it cannot say whether a folder exists.
void ensureDataDirectories(const DataFolders& folders);

// When `path` does not exist, writes {"<key>": []} indented by 2 without a
// final newline. A failed write is not reported: the read that follows fails
// and is logged there. Lets the file system's error pass when it cannot say
// whether the file exists.
void ensureEmptyRegistry(const std::string& path, const std::string& key);

// Makes models.json in `modelsDir` when missing and logs its table of models
// (level 9).
// A file that cannot be read or walked is logged, never replaced.
void loadModelRegistry(const std::string& modelsDir);

// The configuration of the instance `id` from its properties.json (in the
// instance folder of `folders`) and its model's registry entry and
// properties.json (in the model folder). Throws when the instance's own
// properties.json cannot be read or its settings cannot be used; a missing
// model or model properties only leave the defaults (logged).
MivrelConfig buildRegisteredConfig(const DataFolders& folders, const std::string& id);

// Makes mivrel.json in the instance folder of `folders` when missing and
// registers every instance it lists with
// `manager`, in list order, not loading any model. An entry whose settings
// cannot be read is skipped (logged); a list that cannot be read, or an entry
// that is not an object, ends the registration (logged). Returns how many
// instances were added.
int registerListedMivrels(const DataFolders& folders, MivrelManager& manager);
