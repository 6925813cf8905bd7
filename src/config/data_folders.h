// The data folders of one server: where the registries (mivrel.json,
// models.json and the folders they list) and the event log live. Start-up
// reads them from the configuration once and hands them to the registries,
// which never read the configuration themselves.
#pragma once

#include <string>

// The defaults are the configuration's.
struct DataFolders {
    std::string mivrel = "mivrel";  // DIR_MIVREL: one folder per instance, and mivrel.json
    std::string models = "models";  // DIR_MODELS: one folder per model, and models.json
    std::string logs = "logs";      // DIR_LOGS: the event log
};

// The folders of the configuration as it stands (ServerConfig). Call after
// the configuration has been applied; the result does not follow later
// changes.
DataFolders configuredDataFolders();
