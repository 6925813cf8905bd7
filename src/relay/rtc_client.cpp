#include "relay/rtc_client.h"

#include <openssl/ssl.h>

#include "relay/control_lines.h"
#include "relay/data_channel.h"
#include "relay/relay_threads.h"
#include "relay/rtc_log.h"
#include "relay/rtc_tls.h"

namespace mivrelable::rtc {

namespace {

constexpr int kFirstConnectDelayMs = 250;
constexpr int kMaxConnectDelayMs = 5000;
constexpr int kAuthBackoffMs = 1000;
constexpr int kAuthGiveUpCount = 3;
constexpr size_t kHandshakeLineLimit = 4096;
constexpr size_t kControlLineLimit = 8192;
// How long the end of a run waits for open data channels beyond their grace.
constexpr int kChannelJoinMarginMs = 2000;

}  // namespace

RtcClient::RtcClient(RtcConfig config) : context_(std::make_shared<RelayContext>(std::move(config))) {}

RtcClient::~RtcClient() { requestStop(); }

void RtcClient::requestStop() {
    running_.store(false);
    context_->stop.raise();
}

void RtcClient::notifyState(RtcState state) const {
    if (context_->config.on_state) context_->config.on_state(state);
}

void RtcClient::run() {
    initOpenSsl();
    runControlLoop();
}

void RtcClient::runControlLoop() {
    const RtcConfig& c = context_->config;
    const StopSignal& stop = context_->stop;
    context_->ctx = createTlsClientContext(c.ca_file, c.insecure);
    if (!context_->ctx) {
        rtcLogEvent("ERROR", "TLS_CTX_FAIL", "failed_to_create_ssl_ctx");
        return;
    }
    const std::string endpoint = c.server + ":" + std::to_string(c.port);
    rtcLogEvent("INFO", "RTC_CONFIG",
                "server=" + endpoint + " uuid=" + c.uuid + " local_port=" + std::to_string(c.local_port) +
                    " timeout_ms=" + std::to_string(c.timeout_ms) + " insecure=" + (c.insecure ? "true" : "false"));

    DataChannelSet channels(c.max_data_channels);
    int connectDelayMs = kFirstConnectDelayMs;
    int authFailures = 0;
    std::string error;

    // The wait after a connection that ended before authentication: 250 ms
    // doubling up to 5 s, back to 250 ms only once a login succeeds.
    auto backOff = [&]() {
        stop.sleepFor(connectDelayMs);
        connectDelayMs = std::min(connectDelayMs * 2, kMaxConnectDelayMs);
    };

    // Counts a rejection; false when it was the last one allowed.
    auto authFailed = [&]() {
        ++authFailures;
        if (authFailures >= kAuthGiveUpCount) {
            rtcLogEvent("ERROR", "AUTH_GIVE_UP", "fail_count=" + std::to_string(authFailures) + " stopping");
            running_.store(false);
            return false;
        }
        rtcLogEvent("WARN", "AUTH_BACKOFF",
                    "fail_count=" + std::to_string(authFailures) + " wait_ms=" + std::to_string(kAuthBackoffMs));
        stop.sleepFor(kAuthBackoffMs);
        return true;
    };

    while (running_.load() && !stop.raised()) {
        rtcLogEvent("INFO", "CONNECTING", "server=" + endpoint);
        notifyState(RtcState::Connecting);
        error.clear();
        std::unique_ptr<TlsConnection> control =
            tlsConnect(context_->ctx.get(), c.server, c.port, c.timeout_ms, c.io_timeout_ms, &stop, &error);
        if (!control) {
            if (stop.raised()) break;
            rtcLogEvent("WARN", "CONTROL_DISCONNECTED",
                        "connect_tls_failed: (" + c.server + "/" + std::to_string(c.port) + ")" + error);
            notifyState(RtcState::Disconnected);
            backOff();
            continue;
        }
        rtcLogEvent("INFO", "CONTROL_CONNECTED", "REMOTE(RTS)=" + endpoint);

        // Ends a handshake that failed: the connection goes without a close
        // notice, like a dropped line. A relay that accepts connections and
        // then closes them, or answers nonsense, is waited for like one that
        // refuses them: reconnecting at once would hammer it with handshakes.
        auto dropControl = [&](const std::string& message) {
            if (!stop.raised()) rtcLogEvent("WARN", "CONTROL_DISCONNECTED", message);
            notifyState(RtcState::Disconnected);
            control.reset();
            backOff();
        };

        rtcLogEvent("INFO", "HELLO",
                    "PARAMETER uuid=" + helloFields(c.uuid, c.local_port, c.local_hostname, c.local_access_token,
                                                    c.device_specs, true));
        const std::string hello = "AUTH_HELLO uuid=" + helloFields(c.uuid, c.local_port, c.local_hostname,
                                                                   c.local_access_token, c.device_specs, false);
        if (!tlsWriteAll(*control, hello, c.io_timeout_ms, &stop, &error)) {
            dropControl("write_hello_failed: " + error);
            continue;
        }
        std::string line;
        error.clear();
        if (!tlsReadLine(*control, line, kHandshakeLineLimit, c.io_timeout_ms, &stop, &error)) {
            dropControl("missing_challenge: " + error);
            continue;
        }
        if (firstToken(line) != "AUTH_CHALLENGE") {
            // A rejection: its own one-second wait, no connect back-off on top.
            if (!stop.raised()) rtcLogEvent("WARN", "CONTROL_DISCONNECTED", "bad_challenge_line: " + line);
            notifyState(RtcState::Disconnected);
            control.reset();
            if (!authFailed()) break;
            continue;
        }
        const auto fields = parseKeyValueFields(line);
        const auto nonce = fields.find("nonce");
        const auto ts = fields.find("ts");
        if (nonce == fields.end() || ts == fields.end()) {
            dropControl("bad_challenge_fields");
            continue;
        }
        const std::string response =
            "AUTH_RESPONSE hmac=" + hmacSha256Hex(c.hmac_key, challengeMessage(c.uuid, nonce->second, ts->second)) +
            "\n";
        if (!tlsWriteAll(*control, response, c.io_timeout_ms, &stop, &error)) {
            dropControl("write_response_failed: " + error);
            continue;
        }
        error.clear();
        if (!tlsReadLine(*control, line, kHandshakeLineLimit, c.io_timeout_ms, &stop, &error)) {
            dropControl("auth_no_response: " + error);
            continue;
        }
        if (firstToken(line) != "AUTH_OK") {
            rtcLogEvent("ERROR", "CONTROL_AUTH_FAIL", line);
            notifyState(RtcState::Disconnected);
            control.reset();
            if (!authFailed()) break;
            continue;
        }

        authFailures = 0;
        connectDelayMs = kFirstConnectDelayMs;
        rtcLogEvent("INFO", "CONTROL_AUTH_OK", "ok");
        notifyState(RtcState::Connected);
        while (running_.load()) {
            error.clear();
            // A relay that says nothing at all, not even a ping, for the idle
            // time-out is taken as gone.
            if (!tlsReadLine(*control, line, kControlLineLimit, c.idle_timeout_ms, &stop, &error)) {
                if (!stop.raised()) rtcLogEvent("WARN", "CONTROL_DISCONNECTED", "readline_failed: " + error);
                notifyState(RtcState::Disconnected);
                break;
            }
            const std::string command = firstToken(line);
            if (command == "NEW_DATA_CONNECTION") {
                const auto announced = parseKeyValueFields(line);
                const auto id = announced.find("request_id");
                if (id == announced.end()) continue;
                rtcLogEvent("INFO", "NEW_DATA_CONNECTION", "request_id=" + id->second);
                const uint64_t requestId = parseRequestId(id->second);
                std::shared_ptr<RelayContext> context = context_;
                if (!channels.start([context, requestId] { handleDataChannel(context, requestId); })) {
                    rtcLogRepeatable(context_->failures, "WARN", "DATA_CHANNEL_FAIL",
                                "rid=" + std::to_string(requestId) + " too_many_data_channels: " +
                                    std::to_string(c.max_data_channels) + " open");
                }
            } else if (command == "PING") {
                tlsWriteAll(*control, "PONG\n", c.io_timeout_ms, &stop, &error);
            }
        }
        channels.reapFinished();
        control->closeNotify();
        control.reset();
        if (running_.load() && !stop.raised()) {
            stop.sleepFor(kFirstConnectDelayMs);
            connectDelayMs = 2 * kFirstConnectDelayMs;
        }
    }

    const int left = channels.finish(c.stop_grace_ms + kChannelJoinMarginMs);
    if (left > 0) rtcLogEvent("WARN", "DATA_CHANNEL_FAIL", std::to_string(left) + " data channels still open at stop");
    rtcLogHeldBack(context_->failures);
}

}  // namespace mivrelable::rtc
