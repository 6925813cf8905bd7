// The one place that decides which engine class serves a familyType.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "engine/mivrel_engine.h"

// A new, unloaded engine for `familyType` (exact, case-sensitive):
//   "" or "LLM"        the chat engine
//   "DECISION"         the decision engine
//   "IMAGE", "VIDEO"   the media engine, made with the familyType
//   "AUDIO"            the speech engine
// Any other value throws MivrelException BadInput "unsupported model familyType: %s"
// before anything is allocated. "IMAGE", "VIDEO" and "AUDIO" are made by the
// maker registered for them (registerMivrelEngineFamily); without one they
// throw MivrelException LoadFailed "engine for familyType %s is not available in this
// build". Safe from any thread.
std::unique_ptr<MivrelEngine> createMivrelEngine(const std::string& familyType);

// Engines that live above the engine library (media, speech) are made
// through makers that start-up registers here, so this library never depends
// on them. `familyType` is one of "IMAGE", "VIDEO", "AUDIO"; a later
// registration replaces an earlier one, an empty maker removes it. Call
// before the first engine of that family is made. Safe for concurrent use.
using MivrelFamilyMaker = std::function<std::unique_ptr<MivrelEngine>()>;
void registerMivrelEngineFamily(const std::string& familyType, MivrelFamilyMaker maker);

// Tests replace the engines with their own: while a maker is set, every call
// of createMivrelEngine asks it first, and a null result falls through to the
// rows above. An empty function removes it. Safe for concurrent use.
using MivrelEngineMaker = std::function<std::unique_ptr<MivrelEngine>(const std::string& familyType)>;
void setMivrelEngineMakerForTesting(MivrelEngineMaker maker);
