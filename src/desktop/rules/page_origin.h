// Which pages may drive the desktop windows, and which targets they may hand
// to the desktop. Pure functions apart from the folder check.
#pragma once

#include <string>

// "scheme://host[:port]" of an absolute http or https URL, lower-cased, with
// the default port (80, 443) left out; "" for anything else.
std::string urlOrigin(const std::string& url);

// True for pages of the local web application: http on "localhost" or
// "127.0.0.1" at `port`.
bool isLocalAppOrigin(const std::string& url, int port);

// True for an absolute http or https URL with a host and no control
// characters or spaces: what "openExternal:" may open.
bool isWebUrl(const std::string& text);

// True when `path` is absolute and names an existing directory (after
// following links): what "openFolder:" may open.
bool isExistingFolder(const std::string& path);

// The local page URL: "http://localhost:<port>" + path. The host is always
// "localhost", whatever address the server binds.
std::string makeLocalUrl(int port, const std::string& path);
