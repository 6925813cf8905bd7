// The commands that read or switch the server's state through the
// "/mgmt-api/cli/" endpoints, and the two printers of their replies. Each
// command reads the configuration at `confPath` for the server's address,
// prints its result (standard output) or its failure (standard error) and
// returns the exit code, 0 or 1. Single-threaded use.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

// Prints an {"error": {...}} reply to standard error: the registration
// notice with the approval URL for "pending_approval", "ERROR:" with code and
// message for any other code. True when it printed; false (nothing printed)
// for a reply without an "error" object.
bool printReplyError(const nlohmann::json& reply);

// 1 after printReplyError printed; else prints "SUCCESS:" and the message of
// a {"success": {...}} reply, or the whole reply indented by 2, to standard
// output and returns 0.
int printReply(const nlohmann::json& reply);

// "brisvane <version>" and the server's version: as the running server
// reports it, else as it last recorded it beside the executable (or in its
// parent), else "(not running)". Never starts the server; always 0.
int cmdVersion(const std::string& confPath);

// POST "/mgmt-api/cli/up" and print the reply; a failure other than a
// pending approval also prints how to switch the service on without
// registration (the runtime-properties PATCH, or the administration page).
int cmdUp(const std::string& confPath);
// POST "/mgmt-api/cli/down" and print the reply.
int cmdDown(const std::string& confPath);
// POST "/mgmt-api/cli/shutdown", print the reply and, after a success, wait
// until the server no longer accepts connections (kShutdownWaitMs), so that a
// following command finds it stopped; 1 with a message when it still runs.
int cmdShutdown(const std::string& confPath);
// POST "/mgmt-api/cli/reset", print the reply and, after a success, how to
// switch the service on again.
int cmdReset(const std::string& confPath);

inline constexpr int kShutdownWaitMs = 15000;
