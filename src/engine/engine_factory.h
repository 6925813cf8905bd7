// The one place that decides which engine class serves a familyType.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "engine/mivrel_engine.h"

// Makes the engine for a familyType in place of the rows below, or returns
// null to leave it to them (tests put their own engines in this way).
using MivrelEngineMaker = std::function<std::unique_ptr<MivrelEngine>(const std::string& familyType)>;

// A new, unloaded engine for `familyType` (exact, case-sensitive), from
// `maker` when it is set and makes one, else:
//   "" or "LLM"        the chat engine
//   "DECISION"         the decision engine
//   "IMAGE", "VIDEO"   the media engine, made with the familyType
//   "AUDIO"            the speech engine
// Any other value throws MivrelException BadInput "unsupported model familyType: %s"
// before anything is allocated. "IMAGE", "VIDEO" and "AUDIO" are made by the
// maker registered for them (registerMivrelEngineFamily); without one they
// throw MivrelException LoadFailed "engine for familyType %s is not available in this
// build". Safe from any thread.
std::unique_ptr<MivrelEngine> createMivrelEngine(const std::string& familyType, const MivrelEngineMaker& maker = {});

// Engines that live above the engine library (media, speech) are made
// through makers that start-up registers here, so this library never depends
// on them. `familyType` is one of "IMAGE", "VIDEO", "AUDIO"; a later
// registration replaces an earlier one, an empty maker removes it. Call
// before the first engine of that family is made. Safe for concurrent use.
using MivrelFamilyMaker = std::function<std::unique_ptr<MivrelEngine>()>;
void registerMivrelEngineFamily(const std::string& familyType, MivrelFamilyMaker maker);
