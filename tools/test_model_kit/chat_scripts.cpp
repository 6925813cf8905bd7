#include "chat_scripts.h"

#include <cstdio>
#include <cstdlib>
#include <map>

namespace kit {

const std::vector<ChatScript>& chatScripts() {
    // Starts are what prompts end with: "\n" closes every generation prompt of
    // the ChatML layout ("<|im_start|>assistant\n") and of the raw layout;
    // "\n\n" follows an empty thought ("</think>\n\n"); ":\n", "$\n" and "~\n"
    // are one merged token each, so a raw-layout prompt whose last text ends
    // in ":", "$" or "~" selects the other replies.
    static const std::vector<ChatScript> scripts = {
        {"thought_reply", "\n",
         {"<think>", "\nThinking", " it", " over.\n", "</think>", "\n\n", "Hello", " there!", "<|im_end|>"},
         -1},
        {"tool_call", ":\n",
         {"<tool_call>", "\n{\"name\":", " \"get_weather\",", " \"arguments\":", " {\"city\":",
          " \"Paris\"}}\n", "</tool_call>", "<|im_end|>"},
         -1},
        // The euro sign arrives as its three bytes, one token each.
        {"split_utf8", "$\n", {"Price:", " 5 ", "\xE2", "\x82", "\xAC", " each.", "<|im_end|>"}, -1},
        // Never reaches an end token.
        {"endless_loop", "~\n", {" tick", " tock"}, 0},
        // An end-of-generation token that is not the end of turn, mid-reply.
        {"eog_skip", "<|tool>", {" Skip", "<turn|>", " done.", "<|im_end|>"}, -1},
        // Nothing but end-of-generation tokens that are not the end of turn.
        {"eog_loop", "<tool|>", {"<|tool_response>"}, 0},
        // Ends on "<|return|>", which ends generation without being the end of turn.
        {"oss_return", "<|constrain|>", {" Final", "<|return|>"}, -1},
    };
    return scripts;
}

const std::vector<FamilyScriptedModel>& familyScriptedModels() {
    static const std::vector<FamilyScriptedModel> models = {
        // Gemma4: the generation prompt with thinking on ends in the open
        // thought channel "<|channel>thought\n"; the model thinks, closes
        // the channel, answers and ends its turn.
        {"scripted-gemma4.gguf",
         {{"gemma4_thought_reply", "\n",
           {"\nThinking", " it", " over.\n", "<channel|>", "Hello", " there!", "<turn|>"}, -1}}},
        // GPT-OSS: the generation prompt ends in "<|start|>assistant"; the
        // model names the final channel (one byte per letter, all distinct)
        // and answers.
        {"scripted-gpt-oss.gguf",
         {{"gpt_oss_final_reply", "t",
           {"<|channel|>", "f", "i", "n", "a", "l", "<|message|>", "Hello", " there!", "<|return|>"}, -1}}},
        // Tolv: with think level 2 the generation prompt ends inside a
        // "to=self" message; the model thinks, ends that message and starts
        // one from the user, where an assistant must stop.
        {"scripted-tolv.gguf",
         {{"tolv_self_then_user", "<|message|>",
           {"\nThinking", " it", " over.\n", "<|eom|>", "<|start|>", "u", "s", "e", "r", "<|return|>"}, -1}}},
    };
    return models;
}

std::vector<std::string> scriptWords() {
    std::vector<std::string> words;
    for (const ChatScript& s : chatScripts()) {
        for (const std::string& piece : s.pieces) {
            if (!isMarkerText(piece) && piece.size() > 1) words.push_back(piece);
        }
    }
    return words;
}

Transitions buildTransitions(const Vocabulary& vocab) { return buildTransitions(vocab, chatScripts()); }

Transitions buildTransitions(const Vocabulary& vocab, const std::vector<ChatScript>& scripts) {
    auto idOf = [&vocab](const std::string& piece, const char* script) {
        const int32_t id = vocab.idOfPiece(piece);
        if (id < 0) {
            std::fprintf(stderr, "make_test_models: %s: no token for piece '%s'\n", script, piece.c_str());
            std::abort();
        }
        return id;
    };

    std::map<int32_t, int32_t> next;
    auto link = [&next](int32_t from, int32_t to, const char* script) {
        auto [it, inserted] = next.emplace(from, to);
        if (!inserted && it->second != to) {
            std::fprintf(stderr, "make_test_models: %s: token %d already leads to %d, not %d\n", script, from,
                         it->second, to);
            std::abort();
        }
    };

    for (const ChatScript& s : scripts) {
        std::vector<int32_t> ids;
        for (const std::string& piece : s.pieces) ids.push_back(idOf(piece, s.name));
        link(idOf(s.start, s.name), ids.front(), s.name);
        for (size_t i = 0; i + 1 < ids.size(); ++i) link(ids[i], ids[i + 1], s.name);
        if (s.loopTo >= 0) link(ids.back(), ids[static_cast<size_t>(s.loopTo)], s.name);
    }

    Transitions t;
    for (const auto& [from, to] : next) {
        t.from.push_back(from);
        t.to.push_back(to);
    }
    t.fallback = idOf("<|im_end|>", "fallback");
    return t;
}

}  // namespace kit
