// Length limits on the client-given strings the server stores and serves
// back in every listing or status (instance names and descriptions,
// conversation and message ids). Without them one request could make every
// later listing as large as its body. Ids that become folder names have their
// own, tighter rule (engine/registry_id.h). Lengths are in bytes.
#pragma once

#include <cstddef>
#include <string>

inline constexpr size_t kMaxNameLength = 256;
inline constexpr size_t kMaxDescriptionLength = 4096;
inline constexpr size_t kMaxConversationIdLength = 256;

// The 400 message for a `field` (as the client names it, e.g.
// "conversationId") longer than `limit` bytes.
inline std::string fieldTooLongMessage(const std::string& field, size_t limit) {
    return "\"" + field + "\" must be at most " + std::to_string(limit) + " bytes";
}
