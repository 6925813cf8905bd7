#include "api/chat_reply.h"

#include "base/text_util.h"
#include "engine/mivrel.h"

std::string toolCallRawText(const ModelMessageT& message, ToolCallRawSource& source) {
    if (!source.merged && source.isContinue && source.lastPhase == "tool_call" && !source.partialToolCallRaw.empty()) {
        source.merged = true;
        std::string text = message.content;
        if (!source.partialHead.empty() && startsWith(text, source.partialHead))
            text = text.substr(source.partialHead.size());
        return source.partialToolCallRaw + text;
    }
    return message.content;
}

bool isPartialToolCall(const ModelMessageT& message, Mivrel& mivrel) {
    if (!message.partial) return false;
    if (!mivrel.engine) return true;
    const GenerationStats stats = mivrel.engine->getGenerationStats();
    if (stats.stopReason == "eot" && (stats.stopTokenText == "<|call|>" || stats.stopTokenText == "<|eot|>"))
        return false;
    return true;
}

int appendContentBlock(const ModelMessageT& message, ReplyState& state, ToolCallRawSource& source, Mivrel& mivrel) {
    const int tokens = static_cast<int>(message.tokens);
    const int blockTokens = tokens - state.prevTokens;
    state.prevTokens = tokens;
    state.outputTokens += blockTokens;
    mivrel.currentOutputTokens.fetch_add(blockTokens);
    mivrel.sessionOutputTokens.fetch_add(blockTokens);
    mivrel.totalOutputTokens.fetch_add(blockTokens);
    mivrel.lifetimeOutputTokens.fetch_add(blockTokens);

    nlohmann::json block = nlohmann::json::object();
    if (message.metaType == "thought") {
        block["type"] = "thinking";
        block["thinking"] = message.content;
        block["signature"] = "";
    } else if (message.metaType == "tool_call") {
        const int n = state.toolCounter++;
        block["type"] = "tool_use";
        block["id"] = state.toolIdPrefix + std::to_string(n);
        block["raw"] = toolCallRawText(message, source);
        if (isPartialToolCall(message, mivrel)) block["partial"] = true;
    } else {
        block["type"] = "text";
        block["text"] = message.content;
    }
    state.content.push_back(std::move(block));
    return blockTokens;
}

nlohmann::json buildMessageObject(const std::string& messageId, ReplyState& state, int64_t inputTokens,
                                  int64_t genStartMs, Mivrel& mivrel, UsageContext& usage, bool debugPrompt,
                                  const std::string& inputRawPrompt) {
    nlohmann::json message = nlohmann::json::object();
    message["id"] = messageId;
    message["role"] = "assistant";
    message["content"] = state.content;
    nlohmann::json usageJson = nlohmann::json::object();
    usageJson["input_tokens"] = inputTokens;
    usageJson["output_tokens"] = state.outputTokens;
    usageJson["elapsed_ms"] = static_cast<int32_t>(nowMs() - genStartMs);
    for (const auto& block : state.content) {
        if (block.contains("partial") && block["partial"] == true) usage.partialToolCall = true;
    }
    makeUsageJson(usageJson, &mivrel, &usage);
    message["usage"] = std::move(usageJson);
    if (debugPrompt) {
        message["input_raw_prompt"] = inputRawPrompt;
        message["output_raw_prompt"] = state.rawOutput;
    }
    return message;
}
