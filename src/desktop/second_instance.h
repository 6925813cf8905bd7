// The single running instance, reached by a second start: the running
// desktop shell listens on a local socket beside the instance lock, and a
// second start asks it there to show its main window.
#pragma once

#include <string>

// The socket of the running instance: the lock file's path with ".lock"
// replaced by ".sock" (or ".sock" appended).
std::string instanceSocketPath(const std::string& lockPath);

// Connects to `socketPath` and sends the request "show\n". True when the
// request was delivered; false when nothing listens there (a headless
// instance, or none). Waits at most about a second. Any thread.
bool askRunningInstanceToShow(const std::string& socketPath);
