#include "api/chat_turn.h"

#include "api/inference_text.h"
#include "api/instance_reply.h"
#include "base/logger.h"
#include "base/text_util.h"
#include "engine/mivrel.h"
#include "engine/mivrel_exception.h"
#include "engine/model_capabilities.h"

namespace {

const char kMessageTag[] = "<|message|>";

const std::string& assemblerKey(const Mivrel& mivrel) { return mivrel.config.loadSettings.assembler; }

}  // namespace

ChatToolPlan chatToolPlan(const ChatTurnRequest& request, bool contextEmpty, const std::string& declaredTools,
                          const nlohmann::json& priorToolCalls) {
    ChatToolPlan plan;
    RenderOptions& options = plan.options;
    options.think = request.think;
    options.defaultSystem = contextEmpty;
    const bool haveTools = request.tools.is_array() && !request.tools.empty();
    plan.toolsDump = haveTools ? request.tools.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) : "";
    plan.sendTools = haveTools && (contextEmpty || plan.toolsDump != declaredTools);
    options.tools = plan.sendTools ? request.tools : nlohmann::json::array();
    // Declared tools live as long as the context that holds them.
    const bool declaredApply = !contextEmpty && !declaredTools.empty();
    options.hasTools = haveTools || declaredApply;
    plan.forgetDeclared = contextEmpty && !haveTools;
    options.priorToolCalls = priorToolCalls;
    return plan;
}

void composeChatTurn(Mivrel& mivrel, const ChatTurnRequest& request, ChatTurn& turn) {
    MivrelEngine& engine = *mivrel.engine;
    const char* id = request.mivrelId.c_str();
    turn.renderer = createChatPromptRenderer(assemblerKey(mivrel));
    LLMChatPromptRenderer& renderer = *turn.renderer;

    ChatToolPlan plan = chatToolPlan(request, engine.nPast() == 0, mivrel.declaredTools, mivrel.lastToolCalls);
    const RenderOptions& options = plan.options;
    turn.toolsDump = std::move(plan.toolsDump);
    turn.sendTools = plan.sendTools;
    if (plan.forgetDeclared) mivrel.declaredTools.clear();

    std::string thinkOpen, thinkClose, closeThenAnswer;
    const bool hasThink = renderer.thinkingMarkers(thinkOpen, thinkClose, closeThenAnswer);
    const std::string thinkingPrefix = renderer.thinkingPrefix();
    std::string toolOpen, toolClose;
    const bool hasTool = renderer.toolCallMarkers(toolOpen, toolClose);

    turn.isContinue = request.action == "continue";
    turn.closeThinkingOnly = request.action == "close_thinking" && !request.hasMessages;
    turn.lastPhase = mivrel.openPhase;

    std::string prompt;
    if (turn.isContinue) {
        prompt.clear();
    } else if (turn.closeThinkingOnly) {
        prompt = closeThenAnswer;
    } else {
        prompt = renderer.render(request.messages.get_ref<const MessageList&>(), options);
    }

    std::string prime = prompt;
    std::string partialHead;
    if (turn.isContinue) {
        prime = turn.lastPhase == "thinking" && hasThink ? thinkingPrefix : std::string();
        if (turn.lastPhase == "tool_call") {
            if (hasTool) {
                prime = toolOpen;
            } else {
                const size_t tag = mivrel.pendingToolCall.find(kMessageTag);
                if (tag != std::string::npos) {
                    partialHead = mivrel.pendingToolCall.substr(0, tag + sizeof(kMessageTag) - 1);
                    prime = partialHead;
                }
            }
        }
    }

    turn.usage.thinkCloseInjected = request.action == "close_thinking";
    turn.usage.turnCloseInjected = false;
    turn.usage.toolCloseInjected = false;

    turn.continuesTurn = request.action.empty() &&
                         renderer.continuesTurnAfterToolResult(request.messages.get_ref<const MessageList&>());
    if (turn.continuesTurn)
        logMessage(4, "[POST /v1/%s/messages] tool 결과로 열린 model 턴을 이어 씀 — 턴 종료 토큰 없음", id);

    if (!turn.isContinue && !turn.closeThinkingOnly && !turn.continuesTurn && engine.isTurnOpen()) {
        const std::string turnClose = renderer.turnCloseFor(engine.getGenerationStats().stopTokenText);
        if (!turnClose.empty()) {
            prompt = turnClose + prompt;
            turn.usage.turnCloseInjected = true;
            const GenerationStats stats = engine.getGenerationStats();
            const bool endedInThinking = hasThink && stats.thinkingTracked && stats.inThinking;
            if (mivrel.lastEndKind == "tool_call" && hasTool) {
                prompt = toolClose + prompt;
                turn.usage.toolCloseInjected = true;
                logMessage(4, "[POST /v1/%s/messages] 직전 응답이 tool 호출 중에 끝남 → tool 호출 닫기 주입", id);
            }
            if (request.action == "close_thinking" || endedInThinking) {
                prompt = closeThenAnswer + prompt;
                turn.usage.thinkCloseInjected = true;
                if (request.action.empty())
                    logMessage(4, "[POST /v1/%s/messages] 직전 응답이 생각 중에 끝남 → 생각 종료 자동 주입", id);
            }
            logMessage(4, "[POST /v1/%s/messages] 직전 턴 종료 토큰 주입 (assembler=%s)", id,
                       assemblerKey(mivrel).c_str());
        }
    }

    logMessage(9, "[POST /v1/%s/messages] assembler=%s messages=%zu", id, assemblerKey(mivrel).c_str(),
               request.messages.size());
    logMessage(9, "[POST /v1/%s/messages] rawPrompt:", id);
    logMessage(7, "%s", prompt.c_str());

    turn.promptText = std::move(prompt);
    turn.primeText = std::move(prime);
    turn.rawSource.isContinue = turn.isContinue;
    turn.rawSource.lastPhase = turn.lastPhase;
    turn.rawSource.partialToolCallRaw = mivrel.pendingToolCall;
    turn.rawSource.partialHead = partialHead;
}

bool startChatTurn(Mivrel& mivrel, ChatTurnRequest& request, ChatTurn& turn, ReplyState& state,
                   ReplyContext& reply) {
    MivrelEngine& engine = *mivrel.engine;
    const char* id = request.mivrelId.c_str();

    // The request already holds the claim; from here it is this generation's.
    mivrel.abortRequested.exchange(false);
    mivrel.lastActiveAt.store(nowMs());
    turn.inputTokens = 0;
    logMessage(7, "제너레이션 시작");
    mivrel.openResponseId.clear();
    mivrel.openPhase.clear();
    mivrel.pendingToolCall.clear();
    mivrel.lastEndKind.clear();

    const bool hasMedia = !request.media.empty();
    // A text that needs more tokens than the context holds is refused by its
    // size alone: tokenizing tens of megabytes would hold the instance for
    // most of a minute only to refuse it then.
    if (!turn.isContinue) {
        const std::string tooLong = inputBeyondContext(engine, "messages", turn.promptText.size());
        if (!tooLong.empty()) {
            logMessage(2, "[POST /v1/%s/messages] 프롬프트 거절: %s", id, tooLong.c_str());
            reply.sendMessageError(400, "bad_request", tooLong);
            return false;
        }
    }
    // The decodes run on the instance's engine thread, where the generation
    // goes on (engine_thread.h); their exceptions come back here.
    EngineThread& compute = mivrel.engineThread;
    try {
        if (turn.isContinue) {
            compute.run([&] { engine.continueGeneration(); });
        } else if (hasMedia) {
            if (!engine.supportsImageInput()) {
                reply.sendMessageError(400, "bad_request",
                                       "this Mivrel does not accept image or audio input (multimodal encoder is not "
                                       "loaded)");
                return false;
            }
            for (const MediaInput& input : request.media) {
                if (input.isAudio && !engine.supportsAudioInput()) {
                    reply.sendMessageError(400, "bad_request",
                                           "this Mivrel does not accept audio input (audio encoder is not loaded)");
                    return false;
                }
            }
            const int maxSeconds = modelLimit(mivrel.config.loadSettings.params, "maxAudioSeconds", 30);
            compute.run(
                [&] { turn.inputTokens = engine.startMediaGeneration(turn.promptText, request.media, maxSeconds); });
        } else {
            // Tokenizing computes nothing on the library's threads: it stays
            // here, right after the abort flag was cleared, so a stop that
            // comes meanwhile reaches the generation instead of the tokenizer.
            const std::vector<int32_t> tokens = engine.tokenizeText(turn.promptText, engine.nPast() == 0, true);
            turn.inputTokens = static_cast<int64_t>(tokens.size());
            compute.run([&] { engine.startGeneration(tokens); });
        }
    } catch (const MivrelException& e) {
        if (e.code == MivrelErrorCode::RuntimeFailed && mivrel.abortRequested.load()) {
            // The client's stop, not a failure of the server.
            logMessage(4, "[POST /v1/%s/messages] 토크나이즈 중 중지됨", id);
            turn.stoppedBeforeStart = true;
            turn.genStartMs = nowMs();
            return true;
        }
        if (e.code == MivrelErrorCode::LimitExceeded || e.code == MivrelErrorCode::BadInput) {
            logMessage(2, hasMedia ? "[POST /v1/%s/messages] 이미지/오디오 입력 거절: %s"
                                   : "[POST /v1/%s/messages] 프롬프트 거절: %s",
                       id, e.what());
            reply.sendMessageError(400, "bad_request", e.what());
        } else {
            logMessage(1, "[POST /v1/%s/messages] startGeneration 실패: %s", id, e.what());
            reply.sendMessageError(500, "internal_error", e.what());
        }
        return false;
    }
    mivrel.inputTokens.fetch_add(turn.inputTokens);
    // From here the context holds the prompt; status views show it at once.
    mivrel.recordContextInUse(engine.nPast());

    engine.setTurnOpen(true);
    if (turn.sendTools) mivrel.declaredTools = turn.toolsDump;

    std::string thinkOpen, thinkClose, closeThenAnswer;
    if (turn.renderer->thinkingMarkers(thinkOpen, thinkClose, closeThenAnswer)) {
        ThinkingBudget budget;
        budget.budget = request.think < 1 ? 0 : mivrel.resolveThinkBudget(request.hasBudget, request.budget);
        budget.thinkOpen = thinkOpen;
        budget.thinkClose = thinkClose;
        budget.closeThenAnswer = closeThenAnswer;
        budget.promptOpensThought = turn.isContinue ? turn.lastPhase == "thinking"
                                                    : endsWithTrimmed(turn.promptText, turn.renderer->thinkingPrefix());
        budget.closeAtStart = turn.closeThinkingOnly;
        budget.closeByToken = turn.renderer->splitsInjectedText();
        budget.guardAtStart = turn.continuesTurn;
        std::string toolOpen, toolClose;
        if (turn.renderer->toolCallMarkers(toolOpen, toolClose)) {
            budget.toolCallOpen = toolOpen;
            budget.toolCallClose = toolClose;
            budget.resumeInToolCall = turn.isContinue && turn.lastPhase == "tool_call";
        }
        engine.setThinkingBudget(budget);
    }

    turn.genStartMs = nowMs();
    state = ReplyState();
    state.lastBlockEndMs = turn.genStartMs;
    state.toolIdPrefix = "call_" + std::to_string(nowMs()) + "_";

    const std::string& key = assemblerKey(mivrel);
    logMessage(7, "Assembler creating");
    logMessage(7, "AssemberType:%s", key.c_str());
    const ModelLoadSettings& load = mivrel.config.loadSettings;
    BufferedTagConfig tags;
    tags.thinkOpen = load.thinkOpen;
    tags.thinkClose = load.thinkClose;
    tags.toolCallOpen = load.toolCallOpen;
    tags.toolCallClose = load.toolCallClose;
    turn.assembler = createMessageAssembler(key, &tags);
    logMessage(7, "Assembler Created");
    turn.assembler->primeFromRawPrompt(turn.primeText);

    turn.usage.showGenStatus = request.showGenStatus;
    turn.usage.assembler = key;
    turn.usage.controlAction = request.action;

    mivrel.lastOutputTokens.exchange(mivrel.currentOutputTokens.load());
    mivrel.currentOutputTokens.exchange(0);
    logMessage(4, "[POST /v1/%s/messages] generation start", id);
    return true;
}

void finishChatTurn(Mivrel& mivrel, const std::string& mivrelId, const std::string& messageId, ChatTurn& turn,
                    const ReplyState& state) {
    MivrelEngine& engine = *mivrel.engine;
    logMessage(4, "[POST /v1/%s/messages] generation end.", mivrelId.c_str());
    mivrel.lastOutputTokens.store(mivrel.currentOutputTokens.load());
    mivrel.lastResponseId = messageId;

    const GenerationStats stats = engine.getGenerationStats();
    // genStartMs was taken after the prompt decode had returned: the time
    // since is the generation's alone. Subtracting the prompt decode again
    // left a reply shorter than its prompt without a speed, and made every
    // other one look faster than it was.
    const int64_t decodeMs = nowMs() - turn.genStartMs;
    if (stats.generatedTokens > 0 && decodeMs > 0)
        mivrel.lastTokensPerSec = stats.generatedTokens * 1000.0 / static_cast<double>(decodeMs);
    const bool early = stoppedEarly(stats.stopReason);

    nlohmann::json record = nlohmann::json::array();
    std::string partialRaw;
    for (const auto& block : state.content) {
        if (block["type"] != "tool_use") continue;
        record.push_back({{"id", block["id"]}, {"raw", block["raw"]}});
        if (block.contains("partial") && block["partial"] == true) partialRaw = block["raw"].get<std::string>();
    }
    mivrel.lastToolCalls = std::move(record);
    if (!partialRaw.empty()) {
        mivrel.lastEndKind = "tool_call";
        mivrel.pendingToolCall = partialRaw;
    }
    if (early && engine.isTurnOpen()) {
        mivrel.openResponseId = messageId;
        mivrel.openPhase = !partialRaw.empty()        ? "tool_call"
                           : !stats.thinkingTracked ? "unknown"
                           : stats.inThinking       ? "thinking"
                                                    : "answering";
    } else {
        mivrel.openResponseId.clear();
        mivrel.openPhase.clear();
    }
    mivrel.generationIndex += 1;
    mivrel.lastActiveAt.store(nowMs());
    turn.assembler.reset();
    turn.renderer.reset();
}
