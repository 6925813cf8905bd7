// The desktop host of the running server: the shell's view of start-up,
// the configuration, the runtime state, registration and the relay.
#pragma once

#include <string>

#include "desktop/desktop_host.h"

// The maker's web site, used when BRISVANE_WEB_SITE is not set.
inline constexpr const char kDefaultMakerSite[] = "https://brisvane.net";

// A host whose callbacks use the server's globals. `socketPath` is the
// second-instance socket.
DesktopHost makeServerDesktopHost(const std::string& socketPath);
