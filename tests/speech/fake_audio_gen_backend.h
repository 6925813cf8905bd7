// The speech engine tests play the engine's scripted backend, written as
// plain structs here; the server's stand-in reads the same script from a
// weights file (see speech/scripted_audio_gen_backend.h).
#pragma once

#include <memory>

#include "speech/scripted_audio_gen_backend.h"

using FakeAudioScript = ScriptedAudioScript;
using FakeSpeaker = ScriptedSpeaker;
using FakeAudioGenBackend = ScriptedAudioGenBackend;

// A loader that hands out fake backends playing `script`.
inline AudioGenLoader fakeAudioGenLoader(std::shared_ptr<FakeAudioScript> script) {
    return scriptedAudioGenLoader(std::move(script));
}
