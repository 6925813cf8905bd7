// The HTTP side of the server's outgoing HTTPS calls (the TLS connection is
// mgmt/tls_client.h): the URL splitter, the request format shared by the
// catalogue calls and the file transfers, and the GET of a small document.
// Every request is HTTP/1.0, so answers end when the server closes and are
// never chunked.
#pragma once

#include <cstdint>
#include <string>

#include "mgmt/tls_client.h"

struct ParsedUrl {
    std::string host;
    int port = 443;
    std::string path = "/";  // from the first "/" after the authority, query included
};

// True when `url` holds no control character (below 0x20, or 0x7F) and no
// space: only such a URL can go into a request line unchanged.
bool isRequestSafeUrl(const std::string& url);

// Splits `url`: "https://" keeps port 443, "http://" sets 80 (the connection
// is TLS all the same), no scheme keeps 443; the authority ends at the first
// "/"; a ":" in it starts the port (leading decimal digits). Throws
// std::invalid_argument "invalid stoi argument" when the port text does not
// begin with a number and std::out_of_range "stoi argument out of range" when
// it does not fit 32 bits, and std::invalid_argument "invalid URL: control
// characters or spaces" when !isRequestSafeUrl(url). Thread-safe.
ParsedUrl parseUrl(const std::string& url);

// "GET <path> HTTP/1.0", "Host: <host>", "Authorization: Bearer <token>" for
// a non-empty token, "Range: bytes=<offset>-" for an offset above 0, and the
// empty line; every line ends in CR LF.
std::string buildGetRequest(const std::string& host, const std::string& path, const std::string& bearerToken,
                            int64_t rangeStart);

// Largest answer httpsGet accepts (head and body).
inline constexpr size_t kHttpsGetMaxAnswerBytes = 4 * 1024 * 1024;

// Bounds of httpsGet: connect 10 s, each wait 15 s, the whole exchange 30 s,
// kHttpsGetMaxAnswerBytes.
TlsClientOptions httpsGetOptions();

// GETs https://host:port/path and returns the body: the bytes after the first
// blank line (the whole answer when there is none). The status code is not
// judged (callers read the body); a Content-Length bounds the body. Throws
// std::runtime_error for connection failures and time-outs (mgmt/tls_client.h),
// an answer above the cap, a chunked answer ("chunked transfer encoding is not
// supported: <host>") and a body shorter than its Content-Length ("answer
// truncated: <host> (<n> of <m> bytes)"). Safe for concurrent use.
std::string httpsGet(const std::string& host, int port, const std::string& pathWithQuery,
                     const std::string& bearerToken, const TlsClientOptions& options = httpsGetOptions());
