#include "speech/speech_engine_maker.h"

#include "engine/engine_factory.h"
#include "speech/mivrel_audio_engine.h"
#include "speech/scripted_audio_gen_backend.h"

std::unique_ptr<MivrelEngine> makeMivrelAudioEngine(SpeechBackend backend) {
    if (backend == SpeechBackend::StandIn) return std::make_unique<MivrelAudioEngine>(standInAudioGenLoader());
    return std::make_unique<MivrelAudioEngine>();
}

void registerSpeechEngine(SpeechBackend backend) {
    registerMivrelEngineFamily("AUDIO", [backend] { return makeMivrelAudioEngine(backend); });
}
