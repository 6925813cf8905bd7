// The command-line tool's endpoints and the service switch: the status
// document, activation through registration (up), deactivation (down),
// shutdown, reset of the registration, and the registration endpoint of the
// web pages. The maker's web service is reached over verified TLS only
// (mgmt/registration_client.h; BRISVANE_WEB_API names it).
//
// All run on the connection thread and send exactly one reply; up, reset and
// the registration block for the web service's answer, down and shutdown for
// at most 5 s per instance with a running generation.
#pragma once

#include "net/http_request_handler.h"

struct ServiceContext;

// {"inference": {"activeMivrelCount", "mivrels"}, "process": {...}}.
void handleCliStatus(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                     Response& response);
// Registers and switches the service on; 403 "pending_approval" with the
// approval link, 409 with the failure otherwise.
void handleCliUp(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                 Response& response);
// Switches the service off (deactivateBrisvane).
void handleCliDown(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                   Response& response);
// Switches the service off, answers, and ends the process (exit code 0).
void handleCliShutdown(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                       Response& response);
// Drops the registration (refused while the service is on) and recreates the
// runtime state file keeping APP_ID.
void handleCliReset(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                    Response& response);
// Registers; {"apiBase", "brisvaneApiKey", "brisvaneId", "brisvaneToken",
// "status": "registered"}; 409 with the failure.
void handleRegisterBrisvane(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                            Response& response);
