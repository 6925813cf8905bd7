#include "net/access_guard.h"

#include <arpa/inet.h>

#include <cctype>
#include <mutex>
#include <set>
#include <utility>

#include "base/case_fold.h"

namespace {

std::mutex gRelayMutex;
std::set<std::pair<std::string, uint16_t>> gRelayEndpoints;

}  // namespace

bool isLoopbackHost(const std::string& value) {
    const std::string host = toLower(value);
    if (host.empty()) return true;
    if (host[0] == '[') {
        const size_t close = host.find(']');
        return close != std::string::npos && host.substr(0, close + 1) == "[::1]";
    }
    const std::string name = host.substr(0, host.find(':'));
    return name == "localhost" || name == "127.0.0.1";
}

bool isLoopbackOrigin(const std::string& value, int servPort) {
    const std::string origin = toLower(value);
    const std::string port = std::to_string(servPort);
    return origin == "http://localhost:" + port || origin == "http://127.0.0.1:" + port ||
           origin == "http://[::1]:" + port;
}

bool isLoopbackPeerAddress(const std::string& address) {
    in_addr v4{};
    if (::inet_pton(AF_INET, address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (::inet_pton(AF_INET6, address.c_str(), &v6) != 1) return false;
    if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

void setRelayPort(const std::string& address, uint16_t port, bool add) {
    std::lock_guard<std::mutex> lock(gRelayMutex);
    if (add) gRelayEndpoints.emplace(address, port);
    else gRelayEndpoints.erase({address, port});
}

bool isRelayPort(const std::string& address, uint16_t port) {
    if (port == 0) return false;
    std::lock_guard<std::mutex> lock(gRelayMutex);
    return gRelayEndpoints.count({address, port}) > 0;
}
