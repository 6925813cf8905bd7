// The decision metadata of one decision model, read when the model loads.
#pragma once

#include <cstdint>
#include <map>
#include <string>

struct DecisionModelInfo {
    std::string type;                       // "virl" in every loaded engine
    uint64_t maxHeadTokens = 0;             // token budget of question and options
    uint64_t maxChoiceTokens = 48;          // tokens an option keeps after its mask
    std::map<std::string, float> temperatures;  // rest of "<arch>.decision.temperature.<x>" -> value
    int32_t sepToken = -1;
    int32_t maskToken = -1;
    std::string clsPrefix;
    std::string sepText;
    std::string maskText;
    std::string templateText;               // the chat template named "systemone"
};
