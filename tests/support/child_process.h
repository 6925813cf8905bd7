// Runs a function in a forked child, for tests of process-wide state (logger
// settings, standard output) or of a process that dies part-way.
#pragma once

#include <functional>

// Forks, runs `body` in the child and ends the child with _exit(0) after it.
// Returns the child's wait status.
int runInChild(const std::function<void()>& body);
