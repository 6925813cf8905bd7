#include "media/media_registration.h"

#include "engine/engine_factory.h"
#include "media/media_engine.h"

void registerMediaEngines() {
    for (const char* family : {"IMAGE", "VIDEO"}) {
        const std::string type = family;
        registerMivrelEngineFamily(type, [type] { return std::make_unique<MivrelMediaEngine>(type); });
    }
}
