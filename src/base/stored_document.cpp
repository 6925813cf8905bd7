#include "base/stored_document.h"

namespace {

size_t textLimitOf(const std::string& key) {
    if (key == "name") return kMaxNameLength;
    if (key == "description") return kMaxDescriptionLength;
    return kMaxStoredTextLength;
}

// `key` is the member that holds `value` ("" at the top).
std::string refusalOf(const nlohmann::json& value, const std::string& key, bool limitItems) {
    const std::string shown = key.empty() ? std::string("the document") : "\"" + key + "\"";
    if (value.is_string()) {
        const size_t limit = textLimitOf(key);
        if (value.get_ref<const std::string&>().size() > limit) return fieldTooLongMessage(key, limit);
        return std::string();
    }
    if (!value.is_structured()) return std::string();
    if (limitItems && value.size() > kMaxStoredItems) {
        return shown + " must hold at most " + std::to_string(kMaxStoredItems) + " items";
    }
    if (value.is_object()) {
        for (auto it = value.begin(); it != value.end(); ++it) {
            if (it.key().size() > kMaxStoredKeyLength) {
                return "member names must be at most " + std::to_string(kMaxStoredKeyLength) + " bytes";
            }
            std::string refusal = refusalOf(it.value(), it.key(), true);
            if (!refusal.empty()) return refusal;
        }
        return std::string();
    }
    for (const nlohmann::json& item : value) {
        // Items of a list share the list's name.
        std::string refusal = refusalOf(item, key, true);
        if (!refusal.empty()) return refusal;
    }
    return std::string();
}

}  // namespace

std::string storedFieldRefusal(const nlohmann::json& value) { return refusalOf(value, "", true); }

std::string storedDocumentRefusal(const nlohmann::json& document, size_t maxBytes, const std::string& what,
                                  const std::string& recordList) {
    std::string refusal;
    const auto list = document.is_object() && !recordList.empty() ? document.find(recordList) : document.end();
    if (list != document.end() && list->is_array()) {
        // The registry's list grows with its records; the whole-document
        // bound limits it.
        nlohmann::json rest = document;
        rest.erase(recordList);
        refusal = refusalOf(rest, "", true);
        for (auto it = list->begin(); it != list->end() && refusal.empty(); ++it) refusal = refusalOf(*it, "", true);
    } else {
        refusal = refusalOf(document, "", true);
    }
    if (!refusal.empty()) return refusal;
    const size_t size = document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).size();
    if (size > maxBytes) {
        return what + " would be " + std::to_string(size) + " bytes, more than its limit of " +
               std::to_string(maxBytes) + " bytes";
    }
    return std::string();
}
