// The relay client's face toward start-up and the management API: its
// status values and the calls that start and stop it.
#pragma once

#include <atomic>

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
// Whether the relay's control connection is up.
extern std::atomic<bool> relayClientRunning;

// (Re)starts the relay client for the runtime properties' relay host.
// With an empty host it logs why it cannot start and sets relayStatus to 0.
void startRtcClient();

// Stops the relay client; `waitForStop` joins its thread.
void stopRtcClient(bool waitForStop);
