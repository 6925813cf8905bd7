// The relay client's configuration record and the states it reports.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "relay/local_stream.h"

namespace mivrelable::rtc {

// Given to RtcConfig::on_state.
enum class RtcState : int { Connecting = 0, Connected = 1, Disconnected = 2 };

// A plain record, copied into the client. The callbacks run on the client's
// own threads and must not block for long.
struct RtcConfig {
    std::string server;                 // relay host: name resolution and TLS server name
    int32_t port = 9000;                // relay TCP port
    std::string uuid;                   // device id sent in the hello
    std::vector<uint8_t> hmac_key;      // key of the challenge response
    int32_t local_port = 80;            // port of the local HTTP server
    std::string ca_file;                // trusted roots; empty: the system's trust store
    bool insecure = false;              // true: no certificate or host-name check
    int32_t timeout_ms = 5000;          // TCP connect, relay and local port
    std::string local_access_token;     // device token sent in the hello
    std::string local_hostname;         // this machine's name sent in the hello
    std::string device_specs;           // base64 device description; sent when not empty
    std::function<void(RtcState)> on_state;
    std::string local_mode = "socket";  // "memory", anything else a local socket
    std::function<std::shared_ptr<LocalStream>()> local_stream_factory;
    std::function<void(uint16_t, bool)> on_local_port;  // (port, add) of socket-mode connections

    // Bounds that keep a misbehaving or silent relay from holding the client.
    int32_t io_timeout_ms = 15000;        // each TLS handshake, handshake line, and write without progress
    int32_t idle_timeout_ms = 90000;      // an authenticated control connection with no line at all
    int32_t max_data_channels = 64;       // data channels open at once; more announcements are refused
    int32_t stop_grace_ms = 3000;         // after a stop, how long open channels may finish their reply
};

}  // namespace mivrelable::rtc
