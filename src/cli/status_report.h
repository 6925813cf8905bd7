// The "status" command: the server's process, its relay connection and a
// table of the registered instances, read from "/mgmt-api/cli/status".
// Single-threaded use.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

// The report for a status document. Missing keys take their defaults; a
// document of another shape (say "process" not an object) throws
// nlohmann::json's type error.
std::string formatStatusReport(const nlohmann::json& status);

// The report printed when the server does not answer.
std::string notRunningReport();

// Prints the report of the server named by the configuration at `confPath`
// to standard output: 0, or 1 with the not-running report when the request
// or the parse of its reply fails.
int cmdStatus(const std::string& confPath);
