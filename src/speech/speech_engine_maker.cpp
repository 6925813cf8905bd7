#include "speech/speech_engine_maker.h"

#include "speech/mivrel_audio_engine.h"

std::unique_ptr<MivrelEngine> makeMivrelAudioEngine() { return std::make_unique<MivrelAudioEngine>(); }
