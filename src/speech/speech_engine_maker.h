// The one entry through which start-up hands the speech engine to the engine
// factory (familyType "AUDIO"), so that the engine library never includes
// the speech folder.
#pragma once

#include <memory>

#include "engine/mivrel_engine.h"

// A new, unloaded speech engine over the release's multimodal library.
// Safe from any thread.
std::unique_ptr<MivrelEngine> makeMivrelAudioEngine();
