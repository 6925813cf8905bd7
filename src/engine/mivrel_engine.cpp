#include "engine/mivrel_engine.h"

#include "engine/mivrel_exception.h"

namespace {

[[noreturn]] void refuse(const char* text) { throw MivrelException(MivrelErrorCode::BadInput, "%s", text); }

}  // namespace

int MivrelEngine::nPast() { return getContextStats().nPast; }

int MivrelEngine::nCtx() { return getContextStats().nCtx; }

size_t MivrelEngine::maxInputBytes() { return SIZE_MAX; }

std::vector<int32_t> MivrelEngine::tokenizePrompt(const std::string&, const TokenCallback&) {
    refuse("this engine does not support tokenizePrompt");
}

std::vector<int32_t> MivrelEngine::tokenizeText(const std::string&, bool, bool) {
    refuse("this engine does not support tokenizeText");
}

void MivrelEngine::resetContext(const ContextSettings&) { refuse("this engine does not support resetContext"); }

uint64_t MivrelEngine::kvStateSize() { refuse("this engine does not support saving KV state"); }

std::vector<uint8_t> MivrelEngine::saveKvState() { refuse("this engine does not support saving KV state"); }

void MivrelEngine::restoreKvState(const std::vector<uint8_t>&) {
    refuse("this engine does not support restoring KV state");
}

bool MivrelEngine::isTurnOpen() { return false; }

void MivrelEngine::setTurnOpen(bool) {}

void MivrelEngine::setThinkingBudget(const ThinkingBudget&) {}

bool MivrelEngine::startInputGeneration(const GenerationInput&) {
    refuse("this engine does not support GenerationInput generation");
}

bool MivrelEngine::startGeneration(const std::vector<int32_t>&) {
    refuse("this engine does not support text generation (startGeneration)");
}

bool MivrelEngine::continueGeneration() { refuse("this engine does not support resuming generation"); }

void MivrelEngine::setSamplingOptions(const nlohmann::json&) { refuse("this engine does not support sampling options"); }

void MivrelEngine::resetSampler() {}

nlohmann::json MivrelEngine::getSamplingOptions() { return nullptr; }

bool MivrelEngine::supportsImageInput() { return false; }

bool MivrelEngine::supportsAudioInput() { return false; }

int32_t MivrelEngine::startMediaGeneration(const std::string&, const std::vector<MediaInput>&, int32_t) {
    refuse("this engine does not support image or audio input");
}

bool MivrelEngine::fetchNextToken(std::string&) {
    refuse("this engine does not support text generation (fetchNextToken)");
}

bool MivrelEngine::fetchNextRawToken(RawToken&) {
    refuse("this engine does not support text generation (fetchNextRawToken)");
}

void MivrelEngine::runWithAssembler(ModelMessageAssembler&, SnapshotCallback, MessageCallback) {
    refuse("this engine does not support assembler generation (runWithAssembler)");
}

bool MivrelEngine::fetchNextEvent(GenerationEvent&) { refuse("this engine does not support fetchNextEvent"); }

InputSchema MivrelEngine::getInputSchema() { refuse("this engine does not provide an input schema"); }

GenerationStats MivrelEngine::getGenerationStats() { return GenerationStats(); }

nlohmann::json MivrelEngine::getCapabilities() { return nullptr; }

ScoreRecord MivrelEngine::scoreLabels(const std::string&, const std::vector<std::string>&) {
    refuse("this engine does not support label scoring (scoreLabels)");
}

const DecisionModelInfo* MivrelEngine::getDecisionInfo() { return nullptr; }

ScoreRecord MivrelEngine::scoreMarkers(const std::vector<int32_t>&, const std::vector<int32_t>&, int32_t) {
    refuse("this engine does not support marker scoring (scoreMarkers)");
}

std::vector<TensorInfo> MivrelEngine::listTensors(int32_t) { return {}; }
