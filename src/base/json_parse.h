// The one way this server turns JSON text into values: request bodies,
// settings and registry files, event log lines, answers from peers and model
// output all go through parseJson or parseOrderedJson.
//
// The JSON library copies, compares, dumps and frees values recursively and
// the insertion-ordered kind finds keys by linear search, so a hostile text
// could overflow a thread's stack or keep a core busy for minutes. The parse
// refuses, while it reads, any text beyond these bounds, which sit far above
// what a real request or file holds:
//   - arrays and objects nested deeper than kJsonMaxDepth levels,
//   - an object with more than kJsonMaxKeysPerObject keys,
//   - more than kJsonMaxValues values in all (every scalar, array and object).
// Within the bounds the result equals the library's own parse (a repeated key
// keeps its first position and its last value).
//
// Failures: every failure throws nlohmann::json::parse_error (the same type
// for both kinds), so callers that treat a bad text as a parse error need no
// second catch. A text beyond a bound throws JsonLimitError, a parse_error
// whose reason() names the bound; invalidJsonMessage() gives the reply text.
// Numbers out of range ("1e999") are parse errors too.
//
// Threads: plain functions without shared state; safe from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

constexpr std::size_t kJsonMaxDepth = 256;
constexpr std::size_t kJsonMaxKeysPerObject = 10000;
constexpr std::size_t kJsonMaxValues = 1000000;

enum class JsonComments { Refused, Ignored };

// A text that is valid JSON but beyond one of the bounds above.
class JsonLimitError : public nlohmann::json::parse_error {
  public:
    JsonLimitError(const nlohmann::json::parse_error& base, std::string reason)
        : nlohmann::json::parse_error(base), reason_(std::move(reason)) {}
    // "nesting deeper than 256 levels", "an object with more than 10000 keys",
    // "more than 1000000 values".
    const std::string& reason() const { return reason_; }

  private:
    std::string reason_;
};

nlohmann::json parseJson(std::string_view text, JsonComments comments = JsonComments::Refused);
nlohmann::ordered_json parseOrderedJson(std::string_view text, JsonComments comments = JsonComments::Refused);

// parseJson without comments for texts whose failure only means "not JSON"
// (tool arguments and results quoted in a conversation): the value, or a
// discarded value (is_discarded()) for any text parseJson would refuse.
nlohmann::json parseJsonOrDiscarded(std::string_view text);

// The text a 400 reply gives for `error`: `plain` ("Invalid JSON"), or for a
// text beyond a bound `plain` + ": " + its reason.
std::string invalidJsonMessage(const nlohmann::json::parse_error& error, const std::string& plain = "Invalid JSON");
