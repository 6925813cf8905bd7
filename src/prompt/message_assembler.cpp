#include "prompt/message_assembler.h"

#include "app/logger.h"
#include "app/text_util.h"
#include "prompt/buffered_tag_assembler.h"
#include "prompt/default_message_assembler.h"
#include "prompt/gemma4_message_assembler.h"
#include "prompt/gpt_oss_message_assembler.h"
#include "prompt/qwen3_message_assembler.h"
#include "prompt/tolv_message_assembler.h"

namespace {

const char kReplacementCharacter[] = "\xEF\xBF\xBD";

// Length of the well-formed UTF-8 sequence that `lead` starts (1 to 4), or 0
// when `lead` can never start one.
size_t sequenceLength(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

// Whether `byte` may follow `lead` at position `index` (1..3) of a sequence.
// The second byte's range excludes over-long forms, surrogates and values
// above U+10FFFF.
bool validContinuation(unsigned char lead, size_t index, unsigned char byte) {
    if (index == 1) {
        if (lead == 0xE0) return byte >= 0xA0 && byte <= 0xBF;
        if (lead == 0xED) return byte >= 0x80 && byte <= 0x9F;
        if (lead == 0xF0) return byte >= 0x90 && byte <= 0xBF;
        if (lead == 0xF4) return byte >= 0x80 && byte <= 0x8F;
    }
    return byte >= 0x80 && byte <= 0xBF;
}

}  // namespace

AssemblingSnapshot::AssemblingSnapshot() : startedAtMs(assemblerClockMs()) {}

int64_t assemblerClockMs() { return nowMs() / 1000 * 1000; }

void ModelMessageAssembler::primeFromRawPrompt(const std::string& /*prompt*/) {}

std::vector<std::string> ModelMessageAssembler::stopStrings() const { return {}; }

ModelMessageT makeModelMessage(const AssemblingSnapshot& snapshot, const std::string& channel,
                               const std::string& content, const std::string& contentType) {
    ModelMessageT message;
    message.role = snapshot.role;
    message.channel = channel;
    message.metaType = snapshot.partType;
    message.contentType = contentType;
    message.content = content;
    message.startedAtMs = snapshot.startedAtMs;
    message.endedAtMs = snapshot.updatedAtMs;
    message.tokens = static_cast<uint32_t>(snapshot.pieceCount);
    message.partial = false;
    return message;
}

ModelMessageT makePartialToolCall(AssemblingSnapshot& snapshot, const std::string& content) {
    snapshot.partType = "tool_call";
    ModelMessageT message = makeModelMessage(snapshot, "tool_call", content, "text/plain");
    message.partial = true;
    return message;
}

void appendUtf8Delta(std::string& pending, const std::string& text, AssemblingSnapshot& snapshot) {
    pending += text;
    const auto* bytes = reinterpret_cast<const unsigned char*>(pending.data());
    const size_t size = pending.size();
    std::string released;
    released.reserve(size);
    size_t i = 0;
    while (i < size) {
        const unsigned char lead = bytes[i];
        const size_t length = sequenceLength(lead);
        if (length == 0) {
            released += kReplacementCharacter;
            ++i;
            continue;
        }
        size_t k = 1;
        while (k < length && i + k < size && validContinuation(lead, k, bytes[i + k])) ++k;
        if (k == length) {
            released.append(pending, i, length);
            i += length;
        } else if (i + k == size) {
            break;  // an incomplete tail that later text may still complete
        } else {
            // A sequence broken off by a byte that cannot continue it: one
            // replacement for the broken part, then go on from that byte.
            released += kReplacementCharacter;
            i += k;
        }
    }
    pending.erase(0, i);
    snapshot.textDelta = std::move(released);
}

void flushUtf8Delta(std::string& pending, AssemblingSnapshot& snapshot) {
    if (pending.empty()) return;
    // What appendUtf8Delta left is an incomplete prefix of one sequence.
    snapshot.textDelta += kReplacementCharacter;
    pending.clear();
}

std::unique_ptr<ModelMessageAssembler> createMessageAssembler(const std::string& key,
                                                              const BufferedTagConfig* tags) {
    logMessage(9, "[Assembler] 사용할 어셈블러 타입: %s", key.c_str());
    if (key == "qwen3" || key == "qwen30") return std::make_unique<Qwen3MessageAssembler>();
    if (key == "qwen35") {
        logMessage(9, "[Assembler] Qwen35MessageAssembler 생성됨");
        return std::make_unique<Qwen35MessageAssembler>();
    }
    if (key == "buffered_tag") {
        if (tags == nullptr) {
            logMessage(2, "[Assembler] buffered_tag: config 없음, 기본값 사용");
            return std::make_unique<BufferedTagAssembler>(BufferedTagConfig());
        }
        return std::make_unique<BufferedTagAssembler>(*tags);
    }
    if (key == "gemma4") return std::make_unique<Gemma4MessageAssembler>();
    if (key == "gpt-oss") return std::make_unique<GptOssMessageAssembler>();
    if (key == "tolv-wistrel" || key == "tolv") return std::make_unique<TolvMessageAssembler>();
    if (key == "default") return std::make_unique<DefaultMessageAssembler>();
    logMessage(2, "[Assembler] 알 수 없는 어셈블러 타입: %s → default 사용", key.c_str());
    return std::make_unique<DefaultMessageAssembler>();
}
