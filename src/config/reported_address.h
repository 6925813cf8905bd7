// The server's address and port as the running process reports them (the
// command-line status document, device registration). They start as
// ServerConfig's SERV_IP and SERV_PORT and are replaced by the runtime
// properties PATCH; the listening socket and the access guard keep the values
// the server started with, which never change while it runs.
//
// Safe for concurrent use by multiple threads.
#pragma once

#include <string>

// The reported address: the last one set, else ServerConfig::SERV_IP.
std::string reportedServIp();
// The reported port: the last one set, else ServerConfig::SERV_PORT.
int reportedServPort();

void setReportedServIp(const std::string& ip);
void setReportedServPort(int port);

// Back to ServerConfig's values. For tests.
void clearReportedServAddress();
