#include "prompt/message_assembler.h"

#include "base/logger.h"
#include "base/text_util.h"
#include "base/utf8.h"
#include "prompt/buffered_tag_assembler.h"
#include "prompt/default_message_assembler.h"
#include "prompt/gemma4_message_assembler.h"
#include "prompt/gpt_oss_message_assembler.h"
#include "prompt/qwen3_message_assembler.h"
#include "prompt/tolv_message_assembler.h"

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
    snapshot.textDelta = releaseUtf8(pending, text);
}

void flushUtf8Delta(std::string& pending, AssemblingSnapshot& snapshot) {
    if (pending.empty()) return;
    // What appendUtf8Delta left is an incomplete prefix of one sequence.
    snapshot.textDelta += kUtf8Replacement;
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
