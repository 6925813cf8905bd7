#include "config/reported_address.h"

#include <mutex>
#include <optional>

#include "config/server_config.h"

namespace {

std::mutex gMutex;
std::optional<std::string> gIp;
std::optional<int> gPort;

}  // namespace

std::string reportedServIp() {
    std::lock_guard<std::mutex> lock(gMutex);
    return gIp ? *gIp : ServerConfig::SERV_IP;
}

int reportedServPort() {
    std::lock_guard<std::mutex> lock(gMutex);
    return gPort ? *gPort : ServerConfig::SERV_PORT;
}

void setReportedServIp(const std::string& ip) {
    std::lock_guard<std::mutex> lock(gMutex);
    gIp = ip;
}

void setReportedServPort(int port) {
    std::lock_guard<std::mutex> lock(gMutex);
    gPort = port;
}

void clearReportedServAddress() {
    std::lock_guard<std::mutex> lock(gMutex);
    gIp.reset();
    gPort.reset();
}
