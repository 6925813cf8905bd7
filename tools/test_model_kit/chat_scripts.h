// The replies the scripted chat model produces. Its next token depends only
// on the current one, so every token in these tables has exactly one
// successor; the tables are checked for that when the transitions are built.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kit_vocabulary.h"

namespace kit {

struct ChatScript {
    const char* name;
    // Text whose last token starts the reply (a prompt ending in it).
    std::string start;
    // The reply, one entry per token: a marker's literal text or the raw bytes
    // of one normal token.
    std::vector<std::string> pieces;
    // Index into `pieces` that follows the last piece, or -1 when the last
    // piece ends the turn.
    int loopTo;
};

// The script table, in a fixed order.
const std::vector<ChatScript>& chatScripts();

// A variant of the scripted model for one prompt family: the same vocabulary
// and shape, its own script table. Each family's generation prompt ends in a
// token that other families' prompts end in too, so each gets a file of its
// own.
struct FamilyScriptedModel {
    const char* fileName;
    std::vector<ChatScript> scripts;
};

// The family variants (Gemma4, GPT-OSS, Tolv), in a fixed order. Their
// scripts use only markers, bytes and the words of chatScripts(), so the
// vocabulary stays the same.
const std::vector<FamilyScriptedModel>& familyScriptedModels();

// Raw bytes of every normal token the scripts need, in table order.
std::vector<std::string> scriptWords();

struct Transitions {
    std::vector<int32_t> from;   // current token
    std::vector<int32_t> to;     // its one successor
    int32_t fallback = -1;       // successor of every other token
};

// Resolves the scripts against `vocab`. Aborts when a piece is missing from
// the vocabulary or a token would need two different successors.
Transitions buildTransitions(const Vocabulary& vocab);
Transitions buildTransitions(const Vocabulary& vocab, const std::vector<ChatScript>& scripts);

}  // namespace kit
