// Helpers of the prompt tests: log capture and scripted piece sources.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "base/logger.h"
#include "prompt/message_assembler.h"

// Sends log lines up to level 9 to a temporary file for the lifetime of the
// object; text() returns what was written so far.
class LogCapture {
public:
    LogCapture() : file_(std::tmpfile()) {
        setLogFile(file_);
        setLogLevel(9);
    }
    ~LogCapture() {
        setLogFile(stderr);
        setLogLevel(2);
        std::fclose(file_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const {
        std::fflush(file_);
        std::string out;
        std::rewind(file_);
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) out.append(buffer, n);
        std::fseek(file_, 0, SEEK_END);
        return out;
    }
    bool contains(const std::string& line) const { return text().find(line) != std::string::npos; }

private:
    FILE* file_;
};

// What one assemble() run produced.
struct AssemblyRun {
    std::vector<AssemblingSnapshot> snapshots;
    std::vector<ModelMessageT> blocks;

    // Concatenation of every snapshot's textDelta.
    std::string streamedText() const {
        std::string text;
        for (const auto& s : snapshots) text += s.textDelta;
        return text;
    }
    // Concatenation of every snapshot's thoughtDelta.
    std::string streamedThinking() const {
        std::string text;
        for (const auto& s : snapshots) text += s.thoughtDelta;
        return text;
    }
    // The non-empty thoughtDeltas, one per snapshot that carried one.
    std::vector<std::string> thoughtDeltas() const {
        std::vector<std::string> out;
        for (const auto& s : snapshots) {
            if (!s.thoughtDelta.empty()) out.push_back(s.thoughtDelta);
        }
        return out;
    }
    // Concatenation of the contents of the "message" blocks.
    std::string messageText() const {
        std::string text;
        for (const auto& b : blocks) {
            if (b.metaType == "message") text += b.content;
        }
        return text;
    }
};

// Runs `assembler` over `pieces`, recording every snapshot and the blocks.
inline AssemblyRun runPieces(ModelMessageAssembler& assembler, const std::vector<std::string>& pieces) {
    AssemblyRun run;
    size_t index = 0;
    run.blocks = assembler.assemble(
        [&](std::string& piece) {
            if (index == pieces.size()) {
                piece.clear();
                return false;
            }
            piece = pieces[index++];
            return true;
        },
        [&](const AssemblingSnapshot& snapshot) { run.snapshots.push_back(snapshot); });
    return run;
}

// The bytes of `text` one at a time.
inline std::vector<std::string> bytewise(const std::string& text) {
    std::vector<std::string> pieces;
    for (char c : text) pieces.emplace_back(1, c);
    return pieces;
}
