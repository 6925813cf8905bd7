// Case folding for protocol text (header names, schemes, file extensions),
// one byte at a time through tolower. Pure functions, safe for concurrent use.
#pragma once

#include <string>

// Every byte through tolower.
std::string toLower(std::string text);

// Whether `a` and `b` are equal when both are folded to lower case.
bool equalsIgnoreCase(const std::string& a, const std::string& b);
