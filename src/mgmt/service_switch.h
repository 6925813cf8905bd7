// The inference service switch: turning the service off (every generation
// stopped, every loaded instance unloaded, the relay stopped, the flag
// stored), the relay status names, and the request to end the process
// through its normal exit path.
#pragma once

#include <string>

class MivrelManager;

// Stops and unloads every loaded instance in id order: a running generation
// is asked to stop and awaited for at most 5 s; an instance that does not
// stop in time stays loaded and is named in the log. Then stops the relay
// client and stores BRISVANE_EXPORT false (setExportFlag). Returns whether
// the flag was stored. Blocks its caller; safe from any connection thread.
bool deactivateBrisvane(const MivrelManager* mivrels);

// The name of a relay status value: "unregistered", "down", "connecting",
// "connected", "disconnected"; "unregistered" for any other value.
std::string gatewayStatusName(int status);

// Starts a detached thread that waits 300 ms (so the reply leaves first),
// logs, and asks the process to end through its normal exit path (stores
// marked for truncation emptied, event log, manager and server torn down in
// order), with exit code 0. Returns at once.
void shutdownProcessDelayed();
