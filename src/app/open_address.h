// The address a person opens in a browser to reach this server's pages.
#pragma once

#include <string>

// "http://<host>:<port>/" for a server bound to `servIp`: a wildcard or
// "localhost" binding is reached through 127.0.0.1, any other address as
// it is (an IPv6 one in brackets).
std::string browserAddress(const std::string& servIp, int port);
