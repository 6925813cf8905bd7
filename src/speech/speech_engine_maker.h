// The one entry through which start-up hands the speech engine to the engine
// factory (familyType "AUDIO"), so that the engine library never includes
// the speech folder.
#pragma once

#include <memory>

#include "engine/mivrel_engine.h"

// Which audio-generation backend the speech engines of this process use.
enum class SpeechBackend {
    Release,  // the release's multimodal library loads the weights
    StandIn,  // the scripted stand-in: each weights file holds a JSON script
};

// A new, unloaded speech engine on `backend`. Safe from any thread.
std::unique_ptr<MivrelEngine> makeMivrelAudioEngine(SpeechBackend backend = SpeechBackend::Release);

// Registers the speech engine with the engine factory for "AUDIO", every
// engine made on `backend`. Start-up calls it once, before any instance
// loads; a later call replaces the choice. Safe for concurrent use.
void registerSpeechEngine(SpeechBackend backend);
