// Handing a folder or a web address to the desktop's default application.
#pragma once

#include <string>

// Asks the desktop to open `folder` and returns at once. The result follows
// the Windows shell's convention that the management API reports: above 32
// on success; 31 (no application for it) when there is no desktop session
// (neither DISPLAY nor WAYLAND_DISPLAY is set); 2 when the opener
// ("xdg-open", found through PATH) cannot be started. The opener runs as its
// own process with the folder as its one argument, never through a shell;
// its output goes to /dev/null and a detached thread reaps it. Thread-safe.
int openInFileBrowser(const std::string& folder);

// The same for any target (a web address opens in the default browser). The
// caller decides which targets are acceptable; nothing passes a shell.
int openWithDesktop(const std::string& target);
