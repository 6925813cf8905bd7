// The relay client's face toward start-up, the management API and status
// reports: its status values and the calls that start and stop it.
#pragma once

#include <atomic>
#include <functional>
#include <string>

class Peer;

// GatewayStatus values of relayStatus.
enum GatewayStatus : int {
    kGatewayUnregistered = 0,
    kGatewayDown = 1,
    kGatewayConnecting = 2,
    kGatewayConnected = 3,
    kGatewayDisconnected = 4,
};

// Written by start-up (device not exported) and the relay client; read by
// status reports from any thread.
extern std::atomic<int> relayStatus;
// True from a successful start until the client thread ends or a stop.
extern std::atomic<bool> relayClientRunning;

// How relayed requests reach this server. Start-up fills it; the relay keeps
// copies for the client it starts.
struct RelayLocalServer {
    // The port the server listens on (SERV_PORT): announced in the hello and
    // connected to by socket-mode data channels.
    int port = 0;
    // How data channels reach the server (RTC_LOCAL_MODE): "memory" (also
    // when empty) or anything else for the loopback socket.
    std::string mode;
    // Serves one in-memory connection on the calling thread until it ends
    // (the HTTP front end with the Memory origin). Called from the relay's
    // own threads. When empty, relayed requests take the loopback socket
    // whatever the local mode says.
    std::function<void(Peer*)> serveMemoryConnection;
};

// (Re)starts the relay client for the runtime properties' relay host
// (RTS_HOST, port 10815 or BRISVANE_RELAY_PORT), device id and token, and the
// local server's port, mode and memory-mode serving from `local`. A running client
// is stopped first and, unless the caller is one of the relay's own threads
// (a relayed request), joined. With an empty host it logs why it cannot
// start and sets relayStatus to 0. Throws std::system_error when the thread
// cannot be started. Safe from any thread; starts and stops are serialised.
void startRtcClient(const RelayLocalServer& local);

// Stops the relay client: signals it and returns without waiting, so a
// relayed request may switch the relay off and still send its reply through
// it. The stopped client's thread is joined by the next start or by
// shutdownRtcClient. With `userStop` the status reads "down" from now on.
// Safe from any thread.
void stopRtcClient(bool userStop);

// Waits up to `waitMs` for every stopped client thread to end and joins
// them. True when none is left. Not from a relay thread.
bool joinStoppedRtcClients(int waitMs);

// Process end: stops the client and joins its threads within `waitMs`;
// false when a relay thread (a client, data-channel or memory-mode HTTP
// thread) is still running then.
bool shutdownRtcClient(int waitMs);

// The base64 device description of the hello: {"devices":[...],"os":...,
// "ram_gb":...}.
std::string relayDeviceSpecs();

// The relay's port: BRISVANE_RELAY_PORT when it holds a port number, else
// the relay service's fixed port.
int relayPort();
