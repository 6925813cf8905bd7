// The text of the relay's control lines: parsing what the relay sends and
// composing what the client answers. Pure functions, safe from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace mivrelable::rtc {

// The command of a trimmed line: the text before the first space.
std::string firstToken(const std::string& line);

// key=value words after the command; words without "=" are ignored, the
// last of a repeated key wins.
std::map<std::string, std::string> parseKeyValueFields(const std::string& line);

// Unsigned number after trimming: "0x"/"0X" hexadecimal, else decimal; stops
// at the first non-digit; no digits read as 0; too large reads as the
// largest value.
uint64_t parseRequestId(const std::string& text);

// HMAC-SHA-256 of `message` under `key` as 64 lower-case hex digits.
std::string hmacSha256Hex(const std::vector<uint8_t>& key, const std::string& message);

// SHA-256 digest of `text` (32 bytes).
std::vector<uint8_t> sha256Bytes(const std::string& text);

// Standard base64 with "=" padding.
std::string base64Encode(const std::string& bytes);

// The challenge response text: uuid ":" nonce ":" ts as a decimal number.
std::string challengeMessage(const std::string& uuid, const std::string& nonce, const std::string& ts);

// The hello's fields after "uuid=" (uuid, local_port, local_hostname,
// local_access_token and, when not empty, device_specs), ending in "\n".
// With `maskToken` every token character from the fifth on is "X".
std::string helloFields(const std::string& uuid, int localPort, const std::string& hostname,
                        const std::string& token, const std::string& deviceSpecs, bool maskToken);

}  // namespace mivrelable::rtc
