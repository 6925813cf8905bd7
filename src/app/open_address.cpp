#include "app/open_address.h"

std::string browserAddress(const std::string& servIp, int port) {
    std::string host = servIp;
    if (host.empty() || host == "0.0.0.0" || host == "localhost" || host == "::") host = "127.0.0.1";
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    return "http://" + host + ":" + std::to_string(port) + "/";
}
