#include "base/json_parse.h"

#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

constexpr int kLimitErrorId = 190;  // beside the library's own 1xx parse errors

// Builds the value from the parser's events like the library's own DOM
// builder, counting as it goes. Objects of the insertion-ordered kind get
// their keys appended with a hash index per open object instead of the
// library's linear search, so a big object costs linear time.
template <typename Json>
class BoundedBuilder {
  public:
    using number_integer_t = typename Json::number_integer_t;
    using number_unsigned_t = typename Json::number_unsigned_t;
    using number_float_t = typename Json::number_float_t;
    using string_t = typename Json::string_t;
    using binary_t = typename Json::binary_t;

    explicit BoundedBuilder(Json& root) : root_(root) {}

    bool null() { return place(nullptr); }
    bool boolean(bool value) { return place(value); }
    bool number_integer(number_integer_t value) { return place(value); }
    bool number_unsigned(number_unsigned_t value) { return place(value); }
    bool number_float(number_float_t value, const string_t&) { return place(value); }
    bool string(string_t& value) { return place(std::move(value)); }
    bool binary(binary_t& value) { return place(Json::binary(typename binary_t::container_type(value))); }

    bool start_object(std::size_t) {
        Json* object = place(Json::value_t::object);
        enter(object);
        return true;
    }
    bool key(string_t& name) {
        Open& open = open_.back();
        if (++open.keys > kJsonMaxKeysPerObject)
            refuse("an object with more than " + std::to_string(kJsonMaxKeysPerObject) + " keys");
        auto& members = open.value->template get_ref<typename Json::object_t&>();
        if constexpr (std::is_same_v<Json, nlohmann::ordered_json>) {
            const auto found = open.index.find(name);
            if (found != open.index.end()) {
                pending_ = &(members.begin() + found->second)->second;  // a repeated key keeps its place
            } else {
                open.index.emplace(name, members.size());
                members.emplace_back(std::move(name), nullptr);  // the vector's own append: no search
                pending_ = &members.back().second;
            }
        } else {
            pending_ = &members[std::move(name)];
        }
        return true;
    }
    bool end_object() {
        open_.pop_back();
        return true;
    }

    bool start_array(std::size_t) {
        Json* array = place(Json::value_t::array);
        enter(array);
        return true;
    }
    bool end_array() {
        open_.pop_back();
        return true;
    }

    bool parse_error(std::size_t position, const std::string&, const nlohmann::json::exception& error) {
        if (error.id / 100 == 1) throw *static_cast<const nlohmann::json::parse_error*>(&error);
        // Numbers beyond the double range arrive as out_of_range: still a bad text.
        throw nlohmann::json::parse_error::create(101, position, error.what(), nullptr);
    }

  private:
    struct Open {
        Json* value;
        std::size_t keys = 0;
        std::unordered_map<string_t, std::size_t> index;  // insertion-ordered kind only
    };

    [[noreturn]] void refuse(const std::string& reason) {
        throw JsonLimitError(nlohmann::json::parse_error::create(kLimitErrorId, 0, reason, nullptr), reason);
    }

    void enter(Json* container) {
        if (open_.size() >= kJsonMaxDepth)
            refuse("nesting deeper than " + std::to_string(kJsonMaxDepth) + " levels");
        open_.push_back(Open{container, 0, {}});
    }

    template <typename Value>
    Json* place(Value&& value) {
        if (++values_ > kJsonMaxValues) refuse("more than " + std::to_string(kJsonMaxValues) + " values");
        if (open_.empty()) {
            root_ = Json(std::forward<Value>(value));
            return &root_;
        }
        Json& parent = *open_.back().value;
        if (parent.is_array()) {
            auto& items = parent.template get_ref<typename Json::array_t&>();
            items.emplace_back(std::forward<Value>(value));
            return &items.back();
        }
        *pending_ = Json(std::forward<Value>(value));
        return pending_;
    }

    Json& root_;
    std::vector<Open> open_;
    Json* pending_ = nullptr;
    std::size_t values_ = 0;
};

template <typename Json>
Json parseBounded(std::string_view text, JsonComments comments) {
    Json result;
    BoundedBuilder<Json> builder(result);
    Json::sax_parse(text.begin(), text.end(), &builder, nlohmann::json::input_format_t::json, /*strict=*/true,
                    comments == JsonComments::Ignored);
    return result;
}

}  // namespace

nlohmann::json parseJson(std::string_view text, JsonComments comments) {
    return parseBounded<nlohmann::json>(text, comments);
}

nlohmann::ordered_json parseOrderedJson(std::string_view text, JsonComments comments) {
    return parseBounded<nlohmann::ordered_json>(text, comments);
}

nlohmann::json parseJsonOrDiscarded(std::string_view text) {
    try {
        return parseJson(text);
    } catch (const nlohmann::json::parse_error&) {
        return nlohmann::json(nlohmann::json::value_t::discarded);
    }
}

std::string invalidJsonMessage(const nlohmann::json::parse_error& error, const std::string& plain) {
    if (const auto* limit = dynamic_cast<const JsonLimitError*>(&error)) return plain + ": " + limit->reason();
    return plain;
}
