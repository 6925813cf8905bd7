#include "prompt/gemma4_message_assembler.h"

#include "base/logger.h"
#include "base/text_util.h"
#include "prompt/assembler_pull.h"

namespace {

// A channel name is short; a longer run without a line feed is thought text
// the model wrote without naming its channel.
constexpr size_t kMaxChannelNameBytes = 32;

bool isEndPiece(const std::string& piece) {
    return piece == "<turn|>" || piece == "<|tool_response>" || piece == "<|turn>";
}

}  // namespace

std::vector<std::string> Gemma4MessageAssembler::stopStrings() const {
    return {"<turn|>", "<|tool_response>", "<|turn>"};
}

void Gemma4MessageAssembler::primeFromRawPrompt(const std::string& prompt) {
    if (endsWith(prompt, "<|tool_call>")) {
        initialPartType_ = "tool_call";
        logMessage(4, "[Gemma4Assembler] rawPrompt 가 <|tool_call> 로 끝남 → tool_call 모드 시작");
        return;
    }
    static const std::string kChannelOpen = "<|channel>";
    const size_t open = prompt.rfind(kChannelOpen);
    if (open == std::string::npos) return;
    std::string rest;
    for (size_t i = open + kChannelOpen.size(); i < prompt.size(); ++i) {
        const char c = prompt[i];
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') rest += c;
    }
    if (rest == "thought") {
        initialPartType_ = "thought";
        logMessage(4, "[Gemma4Assembler] rawPrompt 가 열린 생각 채널로 끝남 → thought 모드 시작");
    }
}

void Gemma4MessageAssembler::flushBody(AssemblingSnapshot& snapshot, std::vector<ModelMessageT>& out) {
    if (answer_.empty()) return;
    snapshot.partType = "message";
    out.push_back(makeModelMessage(snapshot, "message", answer_));
    answer_.clear();
}

void Gemma4MessageAssembler::onChannelClose(AssemblingSnapshot& snapshot, std::vector<ModelMessageT>& out) {
    if (readingChannelName_) {
        readingChannelName_ = false;
    } else if (snapshot.partType == "thought") {
        out.push_back(makeModelMessage(snapshot, "thought", block_));
        block_.clear();
    } else {
        logMessage(2,
                   "[Gemma4Assembler] 여는 <|channel> 없이 <channel|> 수신 — 이전 message(이미 스트리밍됨)를 "
                   "thought 로 재분류");
        std::string taken;
        taken.swap(answer_);
        pendingUtf8_.clear();
        if (!taken.empty()) {
            snapshot.partType = "thought";
            out.push_back(makeModelMessage(snapshot, "thought", taken));
        }
    }
    snapshot.partType = "message";
}

void Gemma4MessageAssembler::onChannelName(const std::string& piece, AssemblingSnapshot& snapshot) {
    const size_t lineFeed = piece.find('\n');
    if (lineFeed == std::string::npos && channelName_.size() + piece.size() <= kMaxChannelNameBytes) {
        channelName_ += piece;
        return;
    }
    readingChannelName_ = false;
    snapshot.partType = "thought";
    if (lineFeed != std::string::npos) {
        block_ += piece.substr(lineFeed + 1);
    } else {
        block_ += channelName_ + piece;
    }
    channelName_.clear();
}

void Gemma4MessageAssembler::packageAtEnd(AssemblingSnapshot& snapshot, std::vector<ModelMessageT>& out) {
    if (!block_.empty()) {
        logMessage(9, "[Gemma4Assembler] %s 프레임 미완성 상태로 종료", snapshot.partType.c_str());
        if (snapshot.partType == "tool_call") {
            out.push_back(makePartialToolCall(snapshot, block_));
        } else {
            const bool thought = snapshot.partType == "thought";
            if (!thought) snapshot.partType = "message";
            out.push_back(makeModelMessage(snapshot, thought ? "thought" : "message", block_));
        }
        block_.clear();
    }
    flushBody(snapshot, out);
}

std::vector<ModelMessageT> Gemma4MessageAssembler::assemble(const PieceSource& next,
                                                            const SnapshotCallback& onSnapshot) {
    AssemblingSnapshot snapshot;
    snapshot.partType = initialPartType_;
    std::vector<ModelMessageT> out;
    std::string piece;

    while (pullPiece(next, piece, snapshot)) {
        if (isEndPiece(piece)) {
            logMessage(9, "[Gemma4Assembler] 종료 토큰 감지: %s → 생성 중지", piece.c_str());
            break;
        }
        if (piece == "<|channel>") {
            flushBody(snapshot, out);
            snapshot.partType = "message";
            block_.clear();
            readingChannelName_ = true;
            channelName_.clear();
        } else if (piece == "<channel|>") {
            onChannelClose(snapshot, out);
        } else if (piece == "<|tool_call>") {
            flushBody(snapshot, out);
            snapshot.partType = "tool_call";
            block_.clear();
        } else if (piece == "<tool_call|>") {
            snapshot.partType = "tool_call";
            out.push_back(makeModelMessage(snapshot, "tool_call", block_));
            block_.clear();
            snapshot.partType = "message";
        } else if (readingChannelName_) {
            onChannelName(piece, snapshot);
        } else if (snapshot.partType == "thought" || snapshot.partType == "tool_call") {
            block_ += piece;
        } else {
            answer_ += piece;
            appendUtf8Delta(pendingUtf8_, piece, snapshot);
        }
        // Whatever the thought channel receives streams as thinking.
        if (snapshot.partType == "thought") snapshot.thoughtDelta = piece;
        onSnapshot(snapshot);
    }

    // An incomplete character at the very end can no longer be completed.
    flushUtf8Delta(pendingUtf8_, snapshot);
    // The end marker is no thought text: thoughtDelta stays empty.
    onSnapshot(snapshot);
    packageAtEnd(snapshot, out);
    return out;
}
