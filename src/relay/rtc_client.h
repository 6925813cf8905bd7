// The relay client: one authenticated TLS control connection to the relay,
// and one TLS data connection per relayed request, bridged into the local
// HTTP server (data_channel.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "relay/rtc_config.h"
#include "relay/rtc_log.h"
#include "relay/stop_signal.h"

typedef struct ssl_ctx_st SSL_CTX;

namespace mivrelable::rtc {

// What the control loop shares with its data-channel threads; they hold it
// for as long as they run, so it outlives the client if it must.
struct RelayContext {
    explicit RelayContext(RtcConfig c) : config(std::move(c)) {}
    const RtcConfig config;
    StopSignal stop;
    std::shared_ptr<SSL_CTX> ctx;  // set by run() before any data channel starts
    // Data-channel failures, which the relay can cause at any rate.
    RepeatGate failures{kRepeatedFailureInterval};
};

class RtcClient {
public:
    explicit RtcClient(RtcConfig config);
    // Requests the stop. REQUIRES: run() has returned or never started.
    ~RtcClient();
    RtcClient(const RtcClient&) = delete;
    RtcClient& operator=(const RtcClient&) = delete;

    // Runs until stopped or given up after the third consecutive
    // authentication failure. Call once, on the client thread; never throws
    // for network or TLS failures. Every control connection that ends before
    // authentication (refused, dropped, answered with nonsense) waits 250 ms,
    // doubling up to 5 s until a login succeeds; a rejection waits 1 s, and
    // an authenticated connection that ended 250 ms.
    void run();

    // Ends run() soon: every wait of the client's threads wakes up, the
    // control loop stops reconnecting, and open data channels get the
    // configured grace time to finish the reply they carry. Never waits.
    // Safe from any thread, any number of times.
    void requestStop();

    // Whether run() may still (re)connect: false after a stop or a give-up.
    bool running() const { return running_.load(); }

    // Calls on_state when set.
    void notifyState(RtcState state) const;

    const RtcConfig& config() const { return context_->config; }

private:
    void runControlLoop();

    std::shared_ptr<RelayContext> context_;
    std::atomic<bool> running_{true};
};

}  // namespace mivrelable::rtc
