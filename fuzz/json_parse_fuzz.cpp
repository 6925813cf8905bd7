// The bounded JSON parse every outside text goes through. Checks, beyond
// "no crash, no hang": within the bounds the result equals the library's own
// parse of the same text for both kinds and both comment modes, a refused
// text is one the library refuses too (or one beyond a bound), and a parsed
// value dumps and parses back to itself.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/json_parse.h"

namespace {

template <typename Json, typename Parse>
void check(std::string_view text, JsonComments comments, Parse&& parse) {
    const bool ignore = comments == JsonComments::Ignored;
    Json ours;
    try {
        ours = parse(text, comments);
    } catch (const JsonLimitError& e) {
        if (e.reason().empty()) std::abort();
        return;
    } catch (const nlohmann::json::parse_error&) {
        // Only texts within the bounds get here, so the library's own check
        // (iterative, no tree) is safe to run.
        if (Json::accept(text.begin(), text.end(), ignore)) std::abort();
        return;
    }
    // Within the bounds the library's recursive parse is safe too.
    const Json theirs = Json::parse(text.begin(), text.end(), nullptr, true, ignore);
    if (ours != theirs) std::abort();
    const std::string dumped = ours.dump();
    if (parse(dumped, JsonComments::Refused) != ours) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (JsonComments comments : {JsonComments::Refused, JsonComments::Ignored}) {
        check<nlohmann::json>(text, comments, [](std::string_view t, JsonComments c) { return parseJson(t, c); });
        check<nlohmann::ordered_json>(text, comments,
                                      [](std::string_view t, JsonComments c) { return parseOrderedJson(t, c); });
    }
    const nlohmann::json lenient = parseJsonOrDiscarded(text);
    (void)lenient.is_discarded();
    return 0;
}
