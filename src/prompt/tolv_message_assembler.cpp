#include "prompt/tolv_message_assembler.h"

#include <algorithm>

#include "base/logger.h"

bool TolvMessageAssembler::isEndPiece(const std::string& piece) const {
    return piece == "<|eot|>" || piece == "<|end_of_text|>";
}

void TolvMessageAssembler::parseHeader() {
    const size_t at = header_.find("to=");
    if (at == std::string::npos) {
        channel_.clear();
    } else {
        const size_t begin = at + 3;
        const size_t end = header_.find_first_of(" <\t\n", begin);
        channel_ = header_.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    }
    if (channel_ == "self") {
        partType_ = "thought";
    } else if (channel_ == "user" || channel_.empty()) {
        partType_ = "message";
    } else {
        partType_ = "tool_call";
    }
}

void TolvMessageAssembler::flushMessage(AssemblingSnapshot& snapshot, std::vector<ModelMessageT>& out) {
    if (!inBody_ || body_.empty()) return;
    snapshot.partType = partType_;
    if (partType_ == "tool_call") {
        out.push_back(makeModelMessage(snapshot, channel_, raw_));
    } else {
        out.push_back(makeModelMessage(snapshot, partType_ == "thought" ? "self" : "user", body_));
    }
}

std::string TolvMessageAssembler::trimmedHeader() const {
    const char* const blanks = " \t\r\n";
    const size_t first = header_.find_first_not_of(blanks);
    if (first == std::string::npos) return std::string();
    const size_t last = header_.find_last_not_of(blanks);
    return header_.substr(first, last - first + 1);
}

bool TolvMessageAssembler::isForeignHeader() const {
    static const std::string kAssistant = "assistant";
    const std::string header = trimmedHeader();
    if (header.empty()) return false;
    const size_t n = std::min(header.size(), kAssistant.size());
    return header.compare(0, n, kAssistant, 0, n) != 0;
}

bool TolvMessageAssembler::stopsAtHeader(AssemblingSnapshot& snapshot, std::vector<ModelMessageT>& out) {
    if (!isForeignHeader()) return false;
    logMessage(4, "[TolvAssembler] assistant 가 아닌 메시지 머리(%s) → 생성 종료", trimmedHeader().c_str());
    if (out.empty()) {
        snapshot.partType = "message";
        out.push_back(makeModelMessage(snapshot, "user", std::string()));
    }
    return true;
}

bool TolvMessageAssembler::cutToolCall(bool /*sourceEnded*/) const {
    // A call block that was closed is complete whatever ended the turn.
    return inBody_ && partType_ == "tool_call" && body_.find("</atem:function_calls>") == std::string::npos;
}

void TolvMessageAssembler::logPrimed() const {
    logMessage(9, "[TolvAssembler] rawPrompt 가 메시지 머리로 끝남 → %s 본문에서 시작 (to=%s)", partType_.c_str(),
               channel_.c_str());
}
