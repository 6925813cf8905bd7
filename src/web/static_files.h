// Serves the web application's files from the web folder (WEBAPP_FILE_PATH
// below the working directory): maps a request path to a file that stays
// inside the folder, renders ".html" and ".htm" pages through the
// connection's template processor, and sends every other file byte for byte.
//
// Containment is decided on canonical paths, component by component: a
// sibling folder whose name begins with the web folder's name is outside, and
// so is the target of a symbolic link that leaves the folder.
//
// Safe for concurrent use by the connection threads; the page cache has its
// own mutex, the content-type table never changes.
#pragma once

#include <string>
#include <vector>

#include "net/http_request.h"
#include "net/http_response.h"

class HttpRequestHandler;

// The Content-Type for a file name's extension (exact, letter case
// included); "application/octet-stream" for any other or none.
const char* contentTypeForExtension(const std::string& extension);

// Serves request.path (already rewritten to an index page by the router).
// Every file and page served carries "X-Frame-Options: DENY" and
// "Content-Security-Policy: frame-ancestors 'none'" (no other site may frame
// the pages).
// Pages and folders fill `response` for the caller to send; other files are
// written to the connection at once in bounded pieces (the response is then
// sent: see HttpRequestHandler::responseSent). Throws HttpNotFoundException
// ("File not found: " + path) for a path outside the public path, a missing
// file or folder, and HttpForbiddenException ("Access denied: " + path) for
// a file outside the web folder, and HttpBadRequestException for a path
// holding a NUL byte; a page on a connection without the "sst"
// attribute gets HttpNotFoundException "bad handler : thereis no sst", and a
// missing or non-boolean "enable_cache" std::bad_any_cast.
void serveStaticFile(HttpRequestHandler& handler, const Request& request, Response& response);

// Stores a rendered page under its request path, replacing an earlier entry.
void cacheRenderedPage(const std::string& key, const std::vector<uint8_t>& bytes);

// Whether `path` lies inside `root` (both canonical): equal, or root's
// components followed by more.
bool pathInsideRoot(const std::string& path, const std::string& root);
