#include <string>
#include <vector>

#include "chat_scripts.h"
#include "kit_models.h"

namespace kit {

bool writeFloodChatModel(const std::string& path) {
    // Two alternating tokens of 1500 bytes each: longer than any ordinary
    // token, so a few thousand of them outgrow every socket buffer, and past
    // the 1 KiB a token's text usually fits in.
    const std::vector<std::string> words = {" " + std::string(1499, 'f'), " " + std::string(1499, 'g')};
    std::vector<std::string> vocabularyWords = scriptWords();
    vocabularyWords.insert(vocabularyWords.end(), words.begin(), words.end());
    const Vocabulary vocab = buildVocabulary(vocabularyWords);
    ChatModelShape shape;
    shape.contextLength = 65536;
    const std::vector<ChatScript> scripts = {{"flood", "~\n", words, 0}};
    return writeScriptedChatModel(path, vocab, scripts, "flood-chat", shape);
}

}  // namespace kit
