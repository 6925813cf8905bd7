// Reading the options of a validated image or video job: each value of the
// JSON kind the schema gave it, or the job's own default. Pure functions;
// safe from any thread.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

// options[key] as an integer (a number within the 64-bit range, truncated),
// else `fallback`.
int64_t jobInt(const nlohmann::json& options, const char* key, int64_t fallback);
double jobNumber(const nlohmann::json& options, const char* key, double fallback);
bool jobBool(const nlohmann::json& options, const char* key, bool fallback);
std::string jobText(const nlohmann::json& options, const char* key, const std::string& fallback);

// `seed`, or for a negative one a random value in 0..2147483647.
int64_t resolveSeed(int64_t seed);
