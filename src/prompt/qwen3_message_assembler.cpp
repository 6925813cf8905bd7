#include "prompt/qwen3_message_assembler.h"

#include "base/logger.h"
#include "base/text_util.h"
#include "prompt/assembler_pull.h"

namespace {

const char kThinkOpen[] = "<think>";
const char kThinkClose[] = "</think>";
const char kToolCallOpen[] = "<tool_call>";
const char kToolCallClose[] = "</tool_call>";

}  // namespace

std::vector<std::string> Qwen3FamilyAssembler::stopStrings() const {
    return {"<|im_end|>", "<|im_start|>", "<|endoftext|>"};
}

void Qwen3FamilyAssembler::primeFromRawPrompt(const std::string& prompt) {
    if (endsWith(prompt, kToolCallOpen)) {
        initialPartType_ = "tool_call";
        logMessage(4, "[%s] rawPrompt 가 <tool_call> 로 끝남 → tool_call 모드 시작", tag_);
        return;
    }
    const size_t think = prompt.rfind(kThinkOpen);
    if (think == std::string::npos) return;
    const size_t rest = think + sizeof(kThinkOpen) - 1;
    if (prompt.find_first_not_of(" \t\n\r", rest) == std::string::npos) {
        initialPartType_ = "thought";
        logMessage(4, "[%s] rawPrompt 가 <think> 로 끝남 → thought 모드 시작", tag_);
    }
}

void Qwen3FamilyAssembler::packageAnswer(AssemblingSnapshot& snapshot, std::vector<ModelMessageT>& out) {
    if (answer_.empty()) return;
    snapshot.partType = "message";
    out.push_back(makeModelMessage(snapshot, "message", answer_));
    answer_.clear();
}

void Qwen3FamilyAssembler::flushCutThought(AssemblingSnapshot& snapshot, std::vector<ModelMessageT>& out) {
    if (snapshot.partType != "thought" || block_.empty()) return;
    if (isQwen35_) {
        logMessage(9, "[Qwen35Assembler] 생각 도중 생성 종료 → 잘린 생각을 thought 로 패키징");
    } else {
        logMessage(9, "[Qwen3Assembler] 생성 종료 — %s 버퍼 미완성, %s 로 패키징", "thought", "thought");
    }
    out.push_back(makeModelMessage(snapshot, "thought", block_));
    block_.clear();
}

// Packages whatever the generation left open: a cut thought, an unfinished
// tool call (partial), then the answer text. Every way a generation ends
// runs it, so no generated text is lost.
void Qwen3FamilyAssembler::packageOpenBlocks(AssemblingSnapshot& snapshot,
                                             std::vector<ModelMessageT>& out) {
    flushCutThought(snapshot, out);
    if (snapshot.partType == "tool_call" && !block_.empty()) {
        if (isQwen35_) {
            logMessage(9, "[Qwen35Assembler] tool 호출 도중 생성 종료 → partial tool_call 로 패키징");
        } else {
            logMessage(9, "[Qwen3Assembler] 생성 종료 — %s 버퍼 미완성, %s 로 패키징", "tool_call",
                       "partial tool_call");
        }
        out.push_back(makePartialToolCall(snapshot, block_));
    }
    block_.clear();
    packageAnswer(snapshot, out);
}

std::vector<ModelMessageT> Qwen3FamilyAssembler::assemble(const PieceSource& next,
                                                          const SnapshotCallback& onSnapshot) {
    AssemblingSnapshot snapshot;
    snapshot.partType = initialPartType_;
    std::vector<ModelMessageT> out;
    std::string piece;

    while (pullPiece(next, piece, snapshot)) {
        if (piece == "<|im_end|>" || piece == "<|im_start|>") {
            logMessage(9, "[%s] 종료 토큰 감지: %s → 생성 중지", tag_, piece.c_str());
            packageOpenBlocks(snapshot, out);
            // The turn is over: the end token must not stream as thought text.
            snapshot.partType = "message";
            snapshot.textDelta.clear();
            flushUtf8Delta(pendingUtf8_, snapshot);
            onSnapshot(snapshot);
            return out;
        }
        if (piece == kThinkOpen) {
            packageAnswer(snapshot, out);
            snapshot.partType = "message";
            snapshot.textDelta.clear();
            onSnapshot(snapshot);
            snapshot.partType = "thought";
            block_.clear();
        } else if (piece == kThinkClose) {
            snapshot.partType = "thought";
            out.push_back(makeModelMessage(snapshot, "thought", block_));
            block_.clear();
            snapshot.partType = "message";
            snapshot.textDelta.clear();
            onSnapshot(snapshot);
        } else if (piece == kToolCallOpen) {
            packageAnswer(snapshot, out);
            snapshot.partType = "tool_call";
            block_.clear();
            onSnapshot(snapshot);
        } else if (piece == kToolCallClose) {
            if (isQwen35_) logMessage(6, "qwen35:tool_call:%s", block_.c_str());
            snapshot.partType = "tool_call";
            out.push_back(makeModelMessage(snapshot, "tool_call", block_));
            block_.clear();
            snapshot.partType = "message";
            snapshot.textDelta.clear();
            onSnapshot(snapshot);
        } else {
            if (snapshot.partType == "thought" || snapshot.partType == "tool_call") {
                block_ += piece;
                if (snapshot.partType == "thought") snapshot.thoughtDelta = piece;
            } else {
                answer_ += piece;
                appendUtf8Delta(pendingUtf8_, piece, snapshot);
            }
            onSnapshot(snapshot);
        }
    }

    flushUtf8Delta(pendingUtf8_, snapshot);
    onSnapshot(snapshot);
    packageOpenBlocks(snapshot, out);
    return out;
}
