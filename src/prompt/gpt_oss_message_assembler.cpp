#include "prompt/gpt_oss_message_assembler.h"

#include "base/logger.h"
#include "base/text_util.h"
#include "prompt/assembler_pull.h"

namespace {

const char kStart[] = "<|start|>";
const char kMessage[] = "<|message|>";

}  // namespace

bool GptOssMessageAssembler::isEndPiece(const std::string& piece) const {
    return piece == "<|return|>" || piece == "<|call|>";
}

bool GptOssMessageAssembler::stopsAtHeader(AssemblingSnapshot& /*snapshot*/,
                                           std::vector<ModelMessageT>& /*out*/) {
    return false;
}

bool GptOssMessageAssembler::cutToolCall(bool sourceEnded) const {
    // "<|call|>" is the family's own end of a call; only running out of
    // pieces inside one leaves it unfinished.
    return sourceEnded && inBody_ && partType_ == "tool_call";
}

void GptOssMessageAssembler::logPrimed() const {
    logMessage(4, "[GptOssAssembler] rawPrompt 가 메시지 머리로 끝남 → %s 본문에서 시작 (channel=%s)",
               partType_.c_str(), channel_.c_str());
}

void GptOssMessageAssembler::resetMessage() {
    inBody_ = false;
    header_.clear();
    raw_.clear();
    body_.clear();
    channel_.clear();
    pendingUtf8_.clear();
    partType_ = "message";
}

void GptOssMessageAssembler::parseHeader() {
    static const std::string kChannel = "<|channel|>";
    const size_t at = header_.find(kChannel);
    if (at == std::string::npos) {
        channel_.clear();
    } else {
        const size_t begin = at + kChannel.size();
        const size_t end = header_.find_first_of(" <\t\n", begin);
        channel_ = header_.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    }
    const bool hasRecipient = header_.find("to=") != std::string::npos;
    if (channel_ == "final") {
        partType_ = "message";
    } else if (channel_ == "commentary") {
        partType_ = hasRecipient ? "tool_call" : "message";
    } else if (!channel_.empty()) {
        partType_ = "thought";
    } else {
        partType_ = hasRecipient ? "tool_call" : "thought";
    }
}

void GptOssMessageAssembler::flushMessage(AssemblingSnapshot& snapshot, std::vector<ModelMessageT>& out) {
    if (!inBody_ || body_.empty()) return;
    snapshot.partType = partType_;
    if (partType_ == "tool_call") {
        out.push_back(makeModelMessage(snapshot, channel_, raw_));
    } else {
        out.push_back(makeModelMessage(snapshot, channel_.empty() ? std::string("message") : channel_, body_));
    }
}

void GptOssMessageAssembler::primeFromRawPrompt(const std::string& prompt) {
    if (endsWith(prompt, "<|start|>assistant")) {
        inBody_ = false;
        header_ = "assistant";
        raw_ = "<|start|>assistant";
        return;
    }
    const size_t start = prompt.rfind(kStart);
    if (endsWith(prompt, kMessage) && start != std::string::npos) {
        raw_ = prompt.substr(start);
        const size_t headerBegin = start + sizeof(kStart) - 1;
        const size_t headerEnd = prompt.size() - (sizeof(kMessage) - 1);
        header_ = headerEnd > headerBegin ? prompt.substr(headerBegin, headerEnd - headerBegin) : std::string();
        parseHeader();
        inBody_ = true;
        logPrimed();
        return;
    }
    inBody_ = true;
    channel_ = answerChannel();
    partType_ = "message";
}

void GptOssMessageAssembler::publishHeaderState(AssemblingSnapshot& snapshot) const {
    snapshot.phase = inBody_ ? 2 : 1;
    snapshot.partType = inBody_ ? partType_ : "unknown";
}

std::vector<ModelMessageT> GptOssMessageAssembler::assemble(const PieceSource& next,
                                                            const SnapshotCallback& onSnapshot) {
    AssemblingSnapshot snapshot;
    publishHeaderState(snapshot);
    std::vector<ModelMessageT> out;
    std::string piece;
    bool sourceEnded = true;

    while (pullPiece(next, piece, snapshot)) {
        if (isEndPiece(piece)) {
            sourceEnded = false;
            break;
        }
        if (piece == kStart) {
            flushMessage(snapshot, out);
            resetMessage();
            raw_ = piece;
            snapshot.phase = 1;
            snapshot.partType = "unknown";
            onSnapshot(snapshot);
        } else if (piece == kMessage && !inBody_) {
            raw_ += piece;
            parseHeader();
            inBody_ = true;
            snapshot.phase = 2;
            snapshot.partType = "unknown";
            onSnapshot(snapshot);
            snapshot.partType = partType_;
        } else if (piece == messageEnd()) {
            snapshot.partType = "unknown";
            // What is left of an incomplete character goes out now: the
            // message's pending bytes end with it.
            flushUtf8Delta(pendingUtf8_, snapshot);
            onSnapshot(snapshot);
            flushMessage(snapshot, out);
            resetMessage();
            snapshot.phase = 1;
        } else if (!inBody_) {
            header_ += piece;
            raw_ += piece;
            snapshot.partType = "unknown";
            onSnapshot(snapshot);
            if (stopsAtHeader(snapshot, out)) return out;
        } else {
            body_ += piece;
            raw_ += piece;
            snapshot.partType = partType_;
            if (partType_ == "message") appendUtf8Delta(pendingUtf8_, piece, snapshot);
            if (partType_ == "thought") snapshot.thoughtDelta = piece;
            onSnapshot(snapshot);
        }
    }

    const bool partial = cutToolCall(sourceEnded);
    snapshot.partType = "unknown";
    flushUtf8Delta(pendingUtf8_, snapshot);
    onSnapshot(snapshot);
    flushMessage(snapshot, out);
    if (partial && !out.empty() && out.back().metaType == "tool_call") {
        out.back().partial = true;
        logMessage(9, "[%s] tool 호출 도중 생성 종료 → partial tool_call", tag());
    }
    if (out.empty()) {
        snapshot.partType = "message";
        out.push_back(makeModelMessage(snapshot, emptyBlockChannel(), std::string()));
    }
    return out;
}
