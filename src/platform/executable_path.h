// Where the running program lives. Safe for concurrent use.
#pragma once

#include <string>

// The absolute path of the running executable, or "" when it cannot be read.
std::string executablePath();

// The folder of executablePath() without a trailing separator, or "".
std::string executableDir();
