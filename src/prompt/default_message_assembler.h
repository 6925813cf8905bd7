// The assembler of models without known markers ("default" and every unknown
// key): all generated text is one answer.
#pragma once

#include "prompt/message_assembler.h"

class DefaultMessageAssembler final : public ModelMessageAssembler {
public:
    // One snapshot per piece (partType "message", textDelta the piece's
    // complete UTF-8), one final snapshot, and exactly one "message" block
    // with all the text, also when it is empty.
    std::vector<ModelMessageT> assemble(const PieceSource& next,
                                        const SnapshotCallback& onSnapshot) override;

private:
    std::string answer_;
    std::string pendingUtf8_;
};
