// The configuration of one instance and its run-state values.
#pragma once

#include <string>

#include "engine/load_settings.h"

// The run state of an instance, held atomically in Mivrel::state.
enum MivrelState : int {
    kMivrelLoading = 0,   // claimed for loading (or for an unload or removal)
    kMivrelIdle = 1,      // nothing runs; also a new or unloaded instance
    kMivrelRunning = 2,   // a request is using the engine
    kMivrelStopping = 3,  // a stop was asked for; the request has not ended yet
};

// Moved, not copied, into its instance.
struct MivrelConfig {
    std::string id;            // "mivrelId"; the key in the manager
    std::string name;
    std::string description;
    std::string modelPath;     // model folder, "/" and the model's file name
    std::string modelName;     // display name from the model registry (start-up only)
    std::string type = "fake"; // "local" for created and registered instances
    std::string familyType = "LLM";
    ModelLoadSettings loadSettings;
    ContextSettings contextSettings;
};
