#include "prompt/default_message_assembler.h"

#include "prompt/assembler_pull.h"

std::vector<ModelMessageT> DefaultMessageAssembler::assemble(const PieceSource& next,
                                                             const SnapshotCallback& onSnapshot) {
    AssemblingSnapshot snapshot;
    std::string piece;
    while (pullPiece(next, piece, snapshot)) {
        answer_ += piece;
        appendUtf8Delta(pendingUtf8_, piece, snapshot);
        onSnapshot(snapshot);
    }
    flushUtf8Delta(pendingUtf8_, snapshot);
    onSnapshot(snapshot);
    std::vector<ModelMessageT> out;
    out.push_back(makeModelMessage(snapshot, "message", answer_, "text/plain"));
    return out;
}
