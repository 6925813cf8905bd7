// The tool's HTTP/1.0 client to the server: one connection per request,
// "Connection: close", the reply read until the server closes it, the body
// taken after the header block. The status line is not read: the JSON body
// decides what a reply means.
//
// Every call is bounded: the connection must be made within kConnectTimeoutMs
// and the whole reply must arrive within the call's reply time-out and
// kMaxReplyBytes. Failures are thrown, each with the text shown to the user.
// Not for concurrent use of one call's state; the functions share nothing.
#pragma once

#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

inline constexpr int kConnectTimeoutMs = 3000;
// Replies larger than this are refused instead of read on.
inline constexpr size_t kMaxReplyBytes = 16u << 20;

// How long the requests may take from sending to the last byte.
inline constexpr int kStatusReplyTimeoutMs = 15000;  // the status report
inline constexpr int kProbeReplyTimeoutMs = 5000;    // probes while starting or stopping
// up and reset wait for the maker's web service (the server gives it up to
// 60 s); down and shutdown for running generations to stop.
inline constexpr int kCommandReplyTimeoutMs = 90000;

// Nothing accepted the connection: no server listens on the address.
class ServerUnreachable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The connection was made but the reply did not end in time.
class ServerNoReply : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// GET `path` (with query); returns the reply body. Throws std::runtime_error
// "Invalid host: <host>" when the host is neither a dotted IPv4 address nor
// "localhost" (taken as 127.0.0.1), ServerUnreachable "Could not connect to
// brisvanesrv — is running?", ServerNoReply after `replyTimeoutMs`, and
// std::runtime_error for a failed send or a reply above kMaxReplyBytes.
std::string httpGet(const std::string& host, int port, const std::string& path,
                    int replyTimeoutMs = kStatusReplyTimeoutMs);

// POST `path` with the JSON text `body`; otherwise as httpGet.
std::string httpPost(const std::string& host, int port, const std::string& path, const std::string& body,
                     int replyTimeoutMs = kCommandReplyTimeoutMs);

// httpPost, then the body parsed as JSON (no comments). A body that does not
// parse throws std::runtime_error "could not parse brisvanesrv response.\n
// Raw response: <body>"; connection errors pass through unchanged.
nlohmann::json postJson(const std::string& host, int port, const std::string& path, const std::string& body,
                        int replyTimeoutMs = kCommandReplyTimeoutMs);

// The body of a raw reply: everything after the first blank line, or the
// whole reply when it has none.
std::string replyBody(const std::string& reply);
