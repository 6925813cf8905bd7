// Helpers of the llama engine tests: settings for the kit's models, a loaded
// engine, prompts and a pull-everything loop.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/mivrel_exception.h"
#include "engine/mivrel_llm_engine.h"
#include "support/test_models.h"
#include "support/test_paths.h"

namespace llmtest {

// Quiets the inference libraries' own log lines (errors still show).
void quietLlamaLogs();

// CPU settings for one of the kit's models.
ModelLoadSettings kitLoadSettings(const std::string& file);
// A small context on two threads, long enough for every test prompt.
ContextSettings kitContextSettings();

// A chat engine with the kit's model loaded and a context made.
std::unique_ptr<MivrelLLMEngine> loadedEngine(const std::string& file = testmodels::kScriptedChatFile,
                                              const ContextSettings& context = kitContextSettings());

// A ChatML generation prompt ending in `ending` (for the scripted model the
// ending chooses the reply).
std::string chatPrompt(const std::string& ending);

// Pulls pieces with fetchNextToken until it returns false (at most `limit`).
std::vector<std::string> pullAll(MivrelLLMEngine& engine, size_t limit = 1000);

std::string joined(const std::vector<std::string>& pieces);

// The exception of `action`, or a test failure when none is thrown.
template <typename F>
MivrelException thrownBy(F&& action) {
    try {
        action();
    } catch (const MivrelException& e) {
        return e;
    }
    ADD_FAILURE() << "no MivrelException";
    return MivrelException(MivrelErrorCode{}, "none");
}

}  // namespace llmtest
