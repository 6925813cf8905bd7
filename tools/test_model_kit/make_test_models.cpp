// Writes the GGUF test models into the folder given as the only argument:
// tiny-chat.gguf, micro-chat.gguf, scripted-chat.gguf with its family variants, flood-chat.gguf,
// tiny-mmproj.gguf, tiny-decision.gguf, and the speech pair tiny-speech.gguf and tiny-speech-mmproj.gguf.
// Runs at build time.
#include <cstdio>
#include <string>

#include "chat_scripts.h"
#include "kit_models.h"
#include "kit_vocabulary.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_test_models <output folder>\n");
        return 2;
    }
    const std::string folder = argv[1];
    const kit::Vocabulary vocab = kit::buildVocabulary(kit::scriptWords());
    const kit::ChatModelShape shape;

    bool ok = kit::writeTinyChatModel(folder + "/tiny-chat.gguf", vocab);
    ok = kit::writeMicroChatModel(folder + "/micro-chat.gguf", vocab) && ok;
    ok = kit::writeScriptedChatModel(folder + "/scripted-chat.gguf", vocab) && ok;
    for (const kit::FamilyScriptedModel& family : kit::familyScriptedModels()) {
        std::string name = family.fileName;
        name = name.substr(0, name.rfind('.'));
        ok = kit::writeScriptedChatModel(folder + "/" + family.fileName, vocab, family.scripts, name) && ok;
    }
    ok = kit::writeFloodChatModel(folder + "/flood-chat.gguf") && ok;
    ok = kit::writeTinyProjector(folder + "/tiny-mmproj.gguf", shape.embeddingLength) && ok;
    ok = kit::writeTinyDecisionModel(folder + "/tiny-decision.gguf") && ok;
    ok = kit::writeTinySpeechModel(folder + "/tiny-speech.gguf", vocab) && ok;
    ok = kit::writeTinySpeechProjector(folder + "/tiny-speech-mmproj.gguf") && ok;
    return ok ? 0 : 1;
}
