// Every message assembler fed arbitrary pieces. Input: the first byte picks
// the assembler; its high bit says that the first piece is the raw prompt to
// prime from; the rest is split into pieces at 0xFF bytes (a byte that is
// never valid UTF-8, so pieces keep every other byte, broken sequences
// included). Checks the contract: the live text released through textDelta
// is always valid UTF-8, and the blocks keep the roles and types they may
// have.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/logger.h"
#include "base/utf8.h"
#include "prompt/message_assembler.h"

namespace {

const char* const kKeys[] = {"qwen3", "qwen30", "qwen35", "gemma4", "gpt-oss", "tolv", "tolv-wistrel",
                             "buffered_tag", "default"};
constexpr size_t kKeyCount = sizeof(kKeys) / sizeof(kKeys[0]);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        setLogEnabled(false);
        return true;
    }();
    (void)quiet;
    if (size == 0) return 0;
    const std::string key = kKeys[(data[0] & 0x7F) % kKeyCount];
    const bool prime = (data[0] & 0x80) != 0;
    std::vector<std::string> pieces(1);
    for (size_t i = 1; i < size; ++i) {
        if (data[i] == 0xFF) pieces.emplace_back();
        else pieces.back().push_back(static_cast<char>(data[i]));
    }

    const BufferedTagConfig tags;
    std::unique_ptr<ModelMessageAssembler> assembler = createMessageAssembler(key, &tags);
    size_t next = 0;
    if (prime) assembler->primeFromRawPrompt(pieces[next++]);
    (void)assembler->stopStrings();
    const PieceSource source = [&](std::string& piece) {
        if (next >= pieces.size()) {
            piece.clear();
            return false;
        }
        piece = pieces[next++];
        return true;
    };
    int64_t snapshots = 0;
    const SnapshotCallback onSnapshot = [&](const AssemblingSnapshot& snapshot) {
        ++snapshots;
        if (!isValidUtf8(snapshot.textDelta)) std::abort();
        if (snapshot.pieceCount < 0) std::abort();
    };
    const std::vector<ModelMessageT> blocks = assembler->assemble(source, onSnapshot);
    for (const ModelMessageT& block : blocks) {
        if (block.metaType != "message" && block.metaType != "thought" && block.metaType != "tool_call" &&
            block.metaType != "unknown")
            std::abort();
    }
    return 0;
}
