// Managing the server process from the tool: telling whether the server
// answers on its port, starting it when it does not, asking it to shut down,
// waiting until it has stopped and starting it again. Messages go to standard
// output and standard error as each function says. Single-threaded use.
#pragma once

#include <string>

#include "cli/serv_conf.h"

enum class ProbeResult {
    Answers,     // the status endpoint answered with an object holding "process"
    Nothing,     // no connection could be made
    NotServer,   // something else answers on the port
    NoReply,     // a connection was accepted but no reply came in time
};

// One GET of "/mgmt-api/cli/status" with the probe time-out. Throws only for
// an address the client refuses ("Invalid host: ...").
ProbeResult probeServer(const ServerAddress& address);

// Returns true at once when the server answers. Otherwise starts
// `exeDir()`/brisvanesrv detached with "--conf" and the absolute form of
// `confPath`, working directory `home`, and polls every 300 ms until it
// answers (true, "brisvanesrv started." on standard output) or `seconds`
// pass, it ends with a non-zero code, or another program or a hung peer holds
// the port (false, with the reason on standard error).
bool ensureServerRunning(const ServerAddress& address, const std::string& home, const std::string& confPath,
                         int seconds);

// POSTs "/mgmt-api/cli/shutdown"; true when a JSON reply came, else prints
// "Error: <text>" to standard error and returns false.
bool requestShutdown(const ServerAddress& address);

// Polls every 300 ms until nothing accepts connections on the address (true)
// or `timeoutMs` pass (false). A peer that accepts but does not answer still
// counts as running; each poll is bounded, so the call ends by the deadline
// plus one probe at most. Prints nothing: callers say what a false means.
bool waitServerStopped(const ServerAddress& address, int timeoutMs);

// Starts `dir`/brisvanesrv detached with no arguments and `dir` as working
// directory, without waiting; prints a warning to standard error when it
// cannot be started.
void restartServer(const std::string& dir);
