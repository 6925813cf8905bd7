// The tool's entry: reads the command line, finds the home and the
// configuration, starts the server first for the commands that need it and
// dispatches the command word. Single-threaded; one command per process.
#pragma once

#include <string>
#include <vector>

// Runs the command of `arguments` (the program name left out) and returns
// the exit code, 0 or 1. Errors of the command reach the caller as
// exceptions; brisvane_main turns them into "Error: <text>" and 1.
int runTool(const std::vector<std::string>& arguments);

// The usage text (eight lines) written for a missing or unknown command.
std::string usageText();
