// The step every assembler's loop begins with.
#pragma once

#include <string>

#include "prompt/message_assembler.h"

// Asks `next` for a piece and records the pull in the snapshot: lastPiece
// (emptied when the generation is over), textDelta and thoughtDelta cleared, updatedAtMs from
// the clock, pieceCount + 1. Returns what `next` returned; its exceptions
// pass through.
inline bool pullPiece(const PieceSource& next, std::string& piece, AssemblingSnapshot& snapshot) {
    piece.clear();
    const bool more = next(piece);
    if (!more) piece.clear();
    snapshot.lastPiece = piece;
    snapshot.textDelta.clear();
    snapshot.thoughtDelta.clear();
    snapshot.updatedAtMs = assemblerClockMs();
    ++snapshot.pieceCount;
    return more;
}
