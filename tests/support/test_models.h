// Facts about the GGUF models the test-model kit writes (tools/test_model_kit):
// token ids of the shared vocabulary and the exact replies of the scripted
// model. Tests may rely on every value here; kit_tests checks them against
// the generated files.
//
// Files (paths from testModelPath() in support/test_paths.h):
//   "tiny-chat.gguf"      llama architecture, 2 layers, n_embd 64, 4 heads,
//                         n_ff 128, context 256, F16, random weights from a
//                         fixed seed; greedy output is deterministic.
//   "scripted-chat.gguf"  same shape and vocabulary; its next token depends
//                         only on the current one (the scripts below), under
//                         greedy and under ordinary sampling settings alike.
//   "tiny-mmproj.gguf"    CLIP image projector ("mlp"); output width 64, so it
//                         pairs with either chat model. One 32x32 image (any
//                         input is resized to it) gives kImageTokens tokens.
//   "tiny-decision.gguf"  bert architecture, 2 layers, n_embd 32, 2 heads,
//                         n_ff 64, context 512, random weights from a fixed
//                         seed, its own WordPiece vocabulary (the decision
//                         facts at the end of this file), the decision
//                         metadata and the "systemone" template.
//   "tiny-speech.gguf"    "pockettts" architecture (the release's speech
//                         backbone), 1 layer, n_embd 32, 2 heads, n_ff 64,
//                         context 512, the vocabulary below plus the control
//                         token "<|audio_bos|>" (id kVocabSize).
//   "tiny-speech-mmproj.gguf"  its audio-generation weights: the release's
//                         "pockettts" kind (voice encoder and generator),
//                         random weights, variant "english", 24 kHz mono.
//                         Each frame is kSpeechFrameSamples samples of noise.
//                         Its end-of-speech head fires at once, so a text
//                         makes a fixed number of frames (kSpeechTailFrames).
//
// Vocabulary: byte-level BPE ("gpt2", pre-tokenizer "qwen2"). Token id b
// (0..255) is the byte b. Markers follow as single tokens; control markers
// are matched in text only with parse_special, user-defined ones always.
// Merges exist only for "\n\n", ":\n", "$\n" and "~\n", so ordinary text
// tokenizes to one token per byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testmodels {

inline constexpr char kTinyChatFile[] = "tiny-chat.gguf";
inline constexpr char kScriptedChatFile[] = "scripted-chat.gguf";
inline constexpr char kProjectorFile[] = "tiny-mmproj.gguf";

inline constexpr int kEmbeddingLength = 64;
inline constexpr int kBlockCount = 2;
inline constexpr int kHeadCount = 4;
inline constexpr int kFeedForwardLength = 128;
inline constexpr int kTrainedContext = 256;
inline constexpr int kVocabSize = 308;
inline constexpr int kImageTokens = 16;

inline constexpr char kSpeechModelFile[] = "tiny-speech.gguf";
inline constexpr char kSpeechProjectorFile[] = "tiny-speech-mmproj.gguf";
inline constexpr int kSpeechEmbeddingLength = 32;
inline constexpr int kSpeechSampleRate = 24000;
inline constexpr int kSpeechFrameSamples = 1920;
// The release splits a text of more than 50 tokens after its sentence ends
// into chunks of at most 50 and speaks each chunk on its own; it ends one
// with this many frames after the end of speech: 5 for a chunk of at most 6
// tokens, otherwise 3 (ordinary text is one token per byte, after the
// release adds a full stop to text that ends in a letter or digit).
constexpr int kSpeechTailFrames(int chunkTokens) { return chunkTokens <= 6 ? 5 : 3; }

constexpr int32_t byteToken(unsigned char b) { return b; }

// ChatML (Qwen3)
inline constexpr int32_t kEndOfText = 256;       // "<|endoftext|>" control, BOS/pad, ends generation
inline constexpr int32_t kImStart = 257;         // "<|im_start|>" control
inline constexpr int32_t kImEnd = 258;           // "<|im_end|>" control, EOS and EOT
inline constexpr int32_t kThinkOpen = 259;       // "<think>" user-defined
inline constexpr int32_t kThinkClose = 260;      // "</think>" user-defined
inline constexpr int32_t kToolCallOpen = 261;    // "<tool_call>" user-defined
inline constexpr int32_t kToolCallClose = 262;   // "</tool_call>" user-defined
inline constexpr int32_t kToolResponseOpen = 263;   // "<tool_response>" user-defined
inline constexpr int32_t kToolResponseClose = 264;  // "</tool_response>" user-defined
// Gemma4 (all control)
inline constexpr int32_t kGemmaTurnOpen = 265;          // "<|turn>"
inline constexpr int32_t kGemmaTurnClose = 266;         // "<turn|>", ends generation
inline constexpr int32_t kGemmaThink = 267;             // "<|think|>"
inline constexpr int32_t kGemmaChannelOpen = 268;       // "<|channel>"
inline constexpr int32_t kGemmaChannelClose = 269;      // "<channel|>"
inline constexpr int32_t kGemmaToolCallOpen = 270;      // "<|tool_call>"
inline constexpr int32_t kGemmaToolCallClose = 271;     // "<tool_call|>"
inline constexpr int32_t kGemmaToolResponseOpen = 272;  // "<|tool_response>", ends generation
inline constexpr int32_t kGemmaToolResponseClose = 273; // "<tool_response|>"
inline constexpr int32_t kGemmaToolOpen = 274;          // "<|tool>"
inline constexpr int32_t kGemmaToolClose = 275;         // "<tool|>"
inline constexpr int32_t kGemmaQuote = 276;             // "<|\"|>"
// GPT-OSS
inline constexpr int32_t kOssStart = 277;      // "<|start|>" user-defined
inline constexpr int32_t kOssChannel = 278;    // "<|channel|>" user-defined
inline constexpr int32_t kOssMessage = 279;    // "<|message|>" user-defined
inline constexpr int32_t kOssEnd = 280;        // "<|end|>" user-defined, does not end generation
inline constexpr int32_t kOssReturn = 281;     // "<|return|>" control, ends generation
inline constexpr int32_t kOssCall = 282;       // "<|call|>" control, ends generation
inline constexpr int32_t kOssConstrain = 283;  // "<|constrain|>" user-defined
// Tolv
inline constexpr int32_t kTolvEot = 284;  // "<|eot|>" control
inline constexpr int32_t kTolvEom = 285;  // "<|eom|>" control
// Merged tokens
inline constexpr int32_t kNewline = 10;          // "\n" (a byte token)
inline constexpr int32_t kDoubleNewline = 286;   // "\n\n"
inline constexpr int32_t kColonNewline = 287;    // ":\n"
inline constexpr int32_t kDollarNewline = 288;   // "$\n"
inline constexpr int32_t kTildeNewline = 289;    // "~\n"

struct Marker {
    int32_t id;
    const char* text;
    bool control;          // false: user-defined
    bool endsGeneration;   // llama_vocab_is_eog
};

inline const std::vector<Marker> kMarkers = {
    {kEndOfText, "<|endoftext|>", true, true},
    {kImStart, "<|im_start|>", true, false},
    {kImEnd, "<|im_end|>", true, true},
    {kThinkOpen, "<think>", false, false},
    {kThinkClose, "</think>", false, false},
    {kToolCallOpen, "<tool_call>", false, false},
    {kToolCallClose, "</tool_call>", false, false},
    {kToolResponseOpen, "<tool_response>", false, false},
    {kToolResponseClose, "</tool_response>", false, false},
    {kGemmaTurnOpen, "<|turn>", true, false},
    {kGemmaTurnClose, "<turn|>", true, true},
    {kGemmaThink, "<|think|>", true, false},
    {kGemmaChannelOpen, "<|channel>", true, false},
    {kGemmaChannelClose, "<channel|>", true, false},
    {kGemmaToolCallOpen, "<|tool_call>", true, false},
    {kGemmaToolCallClose, "<tool_call|>", true, false},
    {kGemmaToolResponseOpen, "<|tool_response>", true, true},
    {kGemmaToolResponseClose, "<tool_response|>", true, false},
    {kGemmaToolOpen, "<|tool>", true, false},
    {kGemmaToolClose, "<tool|>", true, false},
    {kGemmaQuote, "<|\"|>", true, false},
    {kOssStart, "<|start|>", false, false},
    {kOssChannel, "<|channel|>", false, false},
    {kOssMessage, "<|message|>", false, false},
    {kOssEnd, "<|end|>", false, false},
    {kOssReturn, "<|return|>", true, true},
    {kOssCall, "<|call|>", true, true},
    {kOssConstrain, "<|constrain|>", false, false},
    {kTolvEot, "<|eot|>", true, false},
    {kTolvEom, "<|eom|>", true, false},
};

// One reply of scripted-chat.gguf. A prompt whose last token is `start`
// continues with exactly `tokens`, whatever came before. A prompt text that
// ends in `promptEnding` right after a letter, digit or marker (for example
// "<|im_start|>assistant" + "\n", or "What is the weather" + ":\n") ends in
// that token. Any token not named in a script is followed by kImEnd.
struct ScriptedReply {
    const char* name;
    const char* promptEnding;
    int32_t start;
    std::vector<int32_t> tokens;  // for a loop: one period, repeated for ever
    std::string text;             // `tokens` as text, markers included
    bool loops;                   // never reaches an end-of-generation token
};

// "<think>\nThinking it over.\n</think>\n\nHello there!<|im_end|>": every
// generation prompt of the ChatML layout ends in "\n" and gets this reply.
inline const ScriptedReply kThoughtReply = {
    "thought_reply", "\n", kNewline,
    {kThinkOpen, 290, 291, 292, kThinkClose, kDoubleNewline, 293, 294, kImEnd},
    "<think>\nThinking it over.\n</think>\n\nHello there!<|im_end|>", false};

// The answer part of kThoughtReply, for prompts that already hold an empty
// thought ("...</think>\n\n").
inline const ScriptedReply kPlainAnswer = {
    "plain_answer", "\n\n", kDoubleNewline, {293, 294, kImEnd}, "Hello there!<|im_end|>", false};

inline const ScriptedReply kToolCall = {
    "tool_call", ":\n", kColonNewline,
    {kToolCallOpen, 295, 296, 297, 298, 299, kToolCallClose, kImEnd},
    "<tool_call>\n{\"name\": \"get_weather\", \"arguments\": {\"city\": \"Paris\"}}\n</tool_call><|im_end|>",
    false};

// The euro sign (E2 82 AC) arrives as three byte tokens.
inline const ScriptedReply kSplitUtf8 = {
    "split_utf8", "$\n", kDollarNewline,
    {300, 301, 0xE2, 0x82, 0xAC, 302, kImEnd},
    "Price: 5 \xE2\x82\xAC each.<|im_end|>", false};

// " tick tock tick tock ..." and never an end token.
inline const ScriptedReply kEndlessLoop = {
    "endless_loop", "~\n", kTildeNewline, {303, 304}, " tick tock", true};

inline const std::vector<ScriptedReply> kScriptedReplies = {kThoughtReply, kPlainAnswer, kToolCall, kSplitUtf8,
                                                            kEndlessLoop};

// Replies for the engine's end-token rules. A prompt ending in the marker
// selects them; they are not in kScriptedReplies because a plain generation
// loop stops at their first end-of-generation token.
//
// " Skip<turn|> done.<|im_end|>": "<turn|>" ends generation but is not the
// end-of-turn token.
inline const ScriptedReply kEogSkip = {
    "eog_skip", "<|tool>", kGemmaToolOpen, {305, kGemmaTurnClose, 306, kImEnd}, " Skip<turn|> done.<|im_end|>", false};

// "<|tool_response>" for ever: an end-of-generation token that is never the
// end of turn.
inline const ScriptedReply kEogLoop = {
    "eog_loop", "<tool|>", kGemmaToolClose, {kGemmaToolResponseOpen}, "<|tool_response>", true};

// " Final<|return|>".
inline const ScriptedReply kOssReturnReply = {
    "oss_return", "<|constrain|>", kOssConstrain, {307, kOssReturn}, " Final<|return|>", false};

// Family variants of the scripted model (same shape and vocabulary), one reply
// each, started by the last token of that family's generation prompt.
//
// Gemma4, after "<|channel>thought\n" (thinking on):
// "\nThinking it over.\n<channel|>Hello there!<turn|>".
inline constexpr char kScriptedGemma4File[] = "scripted-gemma4.gguf";
// GPT-OSS, after "<|start|>assistant":
// "<|channel|>final<|message|>Hello there!<|return|>".
inline constexpr char kScriptedGptOssFile[] = "scripted-gpt-oss.gguf";
// Tolv, after "<|start|>assistant to=self<|message|>" (think level 2):
// "\nThinking it over.\n<|eom|><|start|>user<|return|>".
inline constexpr char kScriptedTolvFile[] = "scripted-tolv.gguf";

// flood-chat.gguf: the scripted model's shape with a trained context of 65536
// and one reply, started by "~\n" like kEndlessLoop: two tokens of 1500
// bytes, " fff..." and " ggg...", for ever. Its vocabulary is the shared one
// with those two tokens added at the end.
inline constexpr char kFloodChatFile[] = "flood-chat.gguf";
inline constexpr int kFloodTrainedContext = 65536;
inline constexpr size_t kFloodTokenBytes = 1500;

// tiny-decision.gguf. WordPiece vocabulary: [PAD] [UNK] [CLS] [SEP] [MASK]
// (control tokens, ids 0..4), then word starts "a".."z", "0".."9" and the
// ASCII punctuation, continuation pieces "a".."z" and "0".."9", and a few
// whole words; any other ASCII word spells out letter by letter. Output rows
// are n_embd wide; columns 0, 1, 2 are read for choice, score and noul.
inline constexpr char kDecisionFile[] = "tiny-decision.gguf";
inline constexpr char kDecisionArchitecture[] = "bert";
inline constexpr int kDecisionEmbeddingLength = 32;
inline constexpr int kDecisionTrainedContext = 512;
inline constexpr int32_t kDecisionPad = 0;
inline constexpr int32_t kDecisionUnknown = 1;
inline constexpr int32_t kDecisionCls = 2;
inline constexpr int32_t kDecisionSep = 3;
inline constexpr int32_t kDecisionMask = 4;
inline constexpr unsigned kDecisionMaxHeadTokens = 128;
// "bert.decision.temperature.<name>" entries.
inline constexpr float kDecisionTemperatureChoice = 0.5f;      // "choice"
inline constexpr float kDecisionTemperatureChoice3to5 = 0.25f;  // "choice.3_5"
inline constexpr float kDecisionTemperatureScore = 2.0f;       // "score"
inline constexpr char kDecisionTemplate[] =
    "[CLS]{{ type }} question: {{ instructions }}[SEP]"
    "{% for o in options %}[MASK] "
    "{% if type == 'score' %}level {{ o.key }}: {{ o.value }}"
    "{% else %}{{ o.key }}{% if o.value %}: {{ o.value }}{% endif %}{% endif %}"
    "{% endfor %}[SEP]{{ context }}[SEP]";

}  // namespace testmodels
