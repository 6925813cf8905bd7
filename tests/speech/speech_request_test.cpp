// The speech request body: every flat key and the refusal of unknown ones,
// and the general "parts" form, which passes unchanged.
#include <gtest/gtest.h>

#include "engine/mivrel_exception.h"
#include "speech/speech_request.h"

namespace {

// The parts as "type/role=text-or-file" lines and the options, for compact
// expectations.
std::string describe(const GenerationInput& input) {
    std::string out;
    for (const InputPart& p : input.parts) out += p.type + "/" + p.role + "=" + (p.type == "text" ? p.text : p.file) + "\n";
    return out + input.options.dump();
}

std::string refusal(const nlohmann::json& body) {
    try {
        const GenerationInput input = normalizeSpeechRequest(body);
        return "accepted: " + describe(input);
    } catch (const GenerationInputError& e) {
        return e.what();
    }
}

TEST(SpeechRequestTest, FlatBodiesBecomeParts) {
    struct Case {
        const char* name;
        nlohmann::json body;
        const char* expected;
    };
    const Case cases[] = {
        {"text, voice and stream", {{"text", "Hello"}, {"voice", "amy"}, {"stream", true}},
         "text/prompt=Hello\n{\"voice\":\"amy\"}"},
        {"every key", {{"text", "Hi"}, {"speaker_ref", "files/me.wav"}, {"speaker_ref_text", "it is me"},
                        {"lang", "ko"}, {"speed", 1.25}, {"loudness", -3}, {"temperature", 0.6}, {"seed", 7},
                        {"max_seconds", 30}},
         "audio/reference=files/me.wav\ntext/reference_text=it is me\ntext/prompt=Hi\n"
         "{\"lang\":\"ko\",\"loudness\":-3,\"max_seconds\":30,\"seed\":7,\"speed\":1.25,\"temperature\":0.6}"},
        {"bare stored name", {{"text", "Hi"}, {"speaker_ref", "me.wav"}}, "audio/reference=me.wav\ntext/prompt=Hi\n{}"},
        {"null voice is no conflict", {{"text", "Hi"}, {"voice", nullptr}, {"speaker_ref", "files/me.wav"}},
         "audio/reference=files/me.wav\ntext/prompt=Hi\n{}"},
        {"nulls are skipped, whatever the key", {{"text", "Hi"}, {"pitch", nullptr}}, "text/prompt=Hi\n{}"},
        {"option values are copied unchanged", {{"text", "Hi"}, {"voice", {{"a", 1}}}, {"seed", "x"}},
         "text/prompt=Hi\n{\"seed\":\"x\",\"voice\":{\"a\":1}}"},
        {"stream of any type", {{"text", "Hi"}, {"stream", "yes"}}, "text/prompt=Hi\n{}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(refusal(c.body), std::string("accepted: ") + c.expected);
    }
}

TEST(SpeechRequestTest, RefusalsNameTheFirstFailingKeyInSortedOrder) {
    struct Case {
        const char* name;
        nlohmann::json body;
        const char* message;
    };
    const Case cases[] = {
        {"array body", nlohmann::json::array(), "request body must be a JSON object"},
        {"string body", "text", "request body must be a JSON object"},
        {"unknown key", {{"text", "Hi"}, {"pitch", 2}}, "unknown field: \"pitch\""},
        {"options object is no flat key", {{"text", "Hi"}, {"options", {{"voice", "amy"}}}}, "unknown field: \"options\""},
        {"case matters", {{"text", "Hi"}, {"Voice", "amy"}}, "unknown field: \"Voice\""},
        {"only voice", {{"voice", "amy"}}, "\"text\" is required"},
        {"empty text", {{"text", ""}}, "\"text\" is required"},
        {"numeric text", {{"text", 5}}, "\"text\" must be a string"},
        {"speaker_ref sorts before text", {{"text", 5}, {"speaker_ref", 5}},
         "\"speaker_ref\" must be a file reference string (\"files/<name>\")"},
        {"speaker_ref_text type", {{"text", "Hi"}, {"speaker_ref_text", false}}, "\"speaker_ref_text\" must be a string"},
        {"unknown key sorts first", {{"aaa", 1}, {"text", 5}}, "unknown field: \"aaa\""},
        {"voice with speaker_ref", {{"text", "Hi"}, {"voice", "amy"}, {"speaker_ref", "files/me.wav"}},
         "\"voice\" and \"speaker_ref\" cannot be used together"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(refusal(c.body), c.message);
    }
}

TEST(SpeechRequestTest, PartsFormPassesUnchanged) {
    const nlohmann::json voiceAndRef = {{"type", "audio"}, {"role", "reference"}, {"file", "files/me.wav"}};
    struct Case {
        const char* name;
        nlohmann::json body;
        const char* outcome;
    };
    const Case cases[] = {
        {"no text, voice with reference", {{"parts", {voiceAndRef}}, {"options", {{"voice", "amy"}}}, {"stream", true}},
         "accepted: audio/reference=files/me.wav\n{\"voice\":\"amy\"}"},
        {"top-level option", {{"parts", nlohmann::json::array()}, {"seed", 3}}, "accepted: {\"seed\":3}"},
        // Options the engine does not know are left for its schema check.
        {"unknown nested option", {{"parts", nlohmann::json::array()}, {"options", {{"voice", "a"}, {"pitch", 1}}}},
         "accepted: {\"pitch\":1,\"voice\":\"a\"}"},
        {"unknown top-level member", {{"parts", nlohmann::json::array()}, {"volume", 1}}, "accepted: {\"volume\":1}"},
        {"general form errors pass through", {{"parts", 5}}, "\"parts\" must be an array"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(refusal(c.body), c.outcome);
    }
}

}  // namespace
