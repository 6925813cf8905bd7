#include "config/data_folders.h"

#include "config/server_config.h"

DataFolders configuredDataFolders() {
    return DataFolders{ServerConfig::DIR_MIVREL, ServerConfig::DIR_MODELS, ServerConfig::DIR_LOGS};
}
