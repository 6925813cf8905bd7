// Device registration with the maker's web service and its reset. The calls
// block for the whole exchange, never throw for network, TLS, service or
// answer failures, and report them as a RegistrationResult.
#pragma once

#include <string>

#include "base/version.h"
#include "mgmt/tls_client.h"

// The outcome of a registration or reset call.
struct RegistrationResult {
    bool ok = false;
    std::string code;      // "", "pending_approval", "registration_failed", "brisvane_reset_failed", "internal_error"
    std::string message;   // "" on success, else the service's "retdesc" or the local error text
    std::string authType;  // "pending_approval" only: how the user approves the device
    std::string authUrl;   // "pending_approval" only: where the user approves it (may be empty)
};

inline constexpr const char kRegisterPath[] = "/brisvane/api/registerBrisvane";
inline constexpr const char kResetPath[] = "/brisvane/api/brisvaneReset";

// Where the web service is reached.
struct WebServiceEndpoint {
    std::string host;
    int port = 443;
};

// Parses "https://host[:port][/]" (an IPv6 address in brackets). False with
// `error` set for another scheme, a missing host, a path or a bad port.
bool parseWebApiBase(const std::string& text, WebServiceEndpoint* endpoint, std::string* error);

// The endpoint named by the environment variable BRISVANE_WEB_API (scheme,
// host and port), else kDefaultWebApiBase. Throws std::invalid_argument when
// the variable is set to something parseWebApiBase refuses.
WebServiceEndpoint webServiceEndpoint();

// "qz-" and the machine's host name; "brisvane" when there is none.
std::string defaultDeviceName();

// Registers the device: sends the installation id, device name, program
// version, request time, the server's local address (`localBindAddr`,
// `localPort`: SERV_IP and SERV_PORT) and host name, plus the stored API key
// when there is one. On approval stores the credentials in the runtime state
// file, sets BRISVANE_EXPORT true and reloads the runtime properties; with
// retcode 5 returns "pending_approval" and the approval URL, storing nothing.
// Any thread; takes no lock beyond the runtime properties' own.
RegistrationResult registerBrisvane(const std::string& localBindAddr, int localPort,
                                    const TlsClientOptions& options = {});

// Asks the service to forget the device. Succeeds without any network call
// when no device id or token is stored. Changes nothing locally: the caller
// resets the runtime state file. Any thread.
RegistrationResult brisvaneReset(const TlsClientOptions& options = {});
