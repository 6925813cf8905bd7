#include "relay/relay_lifecycle.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/logger.h"
#include "config/runtime_properties.h"
#include "net/access_guard.h"
#include "platform/cuda_devices.h"
#include "platform/system_info.h"
#include "relay/control_lines.h"
#include "relay/data_channel.h"
#include "relay/relay_threads.h"
#include "relay/rtc_client.h"

std::atomic<int> relayStatus{kGatewayUnregistered};
std::atomic<bool> relayClientRunning{false};

namespace {

using mivrelable::rtc::RtcClient;
using mivrelable::rtc::RtcConfig;
using mivrelable::rtc::RtcState;

std::atomic<bool> relayStopRequested{false};

// One started client and its thread.
struct ClientRun {
    std::unique_ptr<RtcClient> client;
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished;
};

// Orders starts and stops.
std::mutex gLifecycleMutex;
ClientRun gCurrent;
std::vector<ClientRun> gStopped;

// Orders status writes. Each start and stop begins a new generation; a
// client's thread and state callback write only while theirs is current, so
// a stopped client winding down cannot overwrite what came after it.
std::mutex gStatusMutex;
uint64_t gGeneration = 0;

uint64_t newGeneration() {
    std::lock_guard<std::mutex> lock(gStatusMutex);
    return ++gGeneration;
}

// REQUIRES: gLifecycleMutex held.
void retireCurrentLocked() {
    if (!gCurrent.client) return;
    gCurrent.client->requestStop();
    gStopped.push_back(std::move(gCurrent));
    gCurrent = ClientRun{};
}

// Joins the stopped runs that end within `waitMs`. REQUIRES:
// gLifecycleMutex held; not on a relay thread.
bool joinStoppedLocked(int waitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (auto it = gStopped.begin(); it != gStopped.end();) {
        while (!it->finished->load() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (!it->finished->load()) {
            ++it;
            continue;
        }
        if (it->thread.joinable()) it->thread.join();
        it = gStopped.erase(it);
    }
    return gStopped.empty();
}

void rtcClientThread(RtcClient* client, uint64_t generation, std::shared_ptr<std::atomic<bool>> finished) {
    mivrelable::rtc::markRelayThread();
    logMessage(3, "[RTC] 클라이언트 스레드 시작");
    try {
        logMessage(3, "[RTC] run() 진입");
        client->run();
        logMessage(3, "[RTC] run() 정상 종료");
    } catch (const std::bad_alloc& e) {
        logMessage(1, "[RTC] bad_alloc 예외: %s", e.what());
    } catch (const std::exception& e) {
        logMessage(1, "[RTC] 예외 발생: %s", e.what());
    } catch (...) {
        logMessage(1, "[RTC] 알 수 없는 예외 발생");
    }
    {
        std::lock_guard<std::mutex> lock(gStatusMutex);
        if (generation == gGeneration) {
            relayClientRunning.store(false);
            if (!relayStopRequested.load()) relayStatus.store(kGatewayDisconnected);
        }
    }
    logMessage(3, "[RTC] 클라이언트 스레드 종료");
    finished->store(true);
}

}  // namespace

int relayPort() {
    const char* configured = std::getenv("BRISVANE_RELAY_PORT");
    if (configured && *configured) {
        char* end = nullptr;
        const long port = std::strtol(configured, &end, 10);
        if (*end == '\0' && port >= 1 && port <= 65535) return static_cast<int>(port);
    }
    return kRelayPort;
}

std::string relayDeviceSpecs() {
    nlohmann::json devices = nlohmann::json::array();
    for (const CudaDeviceInfo& device : listCudaDevices()) {
        const double gib = static_cast<double>(device.totalMemoryBytes) / (1024.0 * 1024.0 * 1024.0);
        devices.push_back(device.name + " " + std::to_string(static_cast<long long>(std::llround(gib))) + "GB");
    }
    const double ramGib = static_cast<double>(totalPhysicalMemoryBytes()) / (1024.0 * 1024.0 * 1024.0);
    nlohmann::json specs = nlohmann::json::object();
    specs["devices"] = std::move(devices);
    specs["os"] = operatingSystemName();
    specs["ram_gb"] = std::round(ramGib * 10.0) / 10.0;
    return mivrelable::rtc::base64Encode(specs.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

void startRtcClient(const RelayLocalServer& local) {
    std::lock_guard<std::mutex> lifecycle(gLifecycleMutex);
    retireCurrentLocked();
    // A relayed request that restarts the relay must not wait for the relay,
    // which may be waiting for that request: its old run is joined later.
    if (!mivrelable::rtc::onRelayThread()) joinStoppedLocked(60000);

    const RuntimePropertiesSnapshot props = runtimePropertiesSnapshot();
    if (props.rtsHost.empty()) {
        logMessage(2, "[RTC] startRtcClient: rts_host 가 비어 있어 기동 불가");
        std::lock_guard<std::mutex> lock(gStatusMutex);
        ++gGeneration;
        relayClientRunning.store(false);
        relayStatus.store(kGatewayUnregistered);
        return;
    }
    relayStopRequested.store(false);
    const uint64_t generation = newGeneration();

    RtcConfig config;
    config.server = props.rtsHost;
    config.port = relayPort();
    config.uuid = props.brisvaneIdRelay;
    config.hmac_key = mivrelable::rtc::sha256Bytes(props.token);
    config.local_port = local.port;
    config.local_access_token = props.token;
    config.local_mode = local.mode.empty() ? std::string("memory") : local.mode;
    if (local.serveMemoryConnection) {
        config.local_stream_factory = [serve = local.serveMemoryConnection] {
            return mivrelable::rtc::makeMemoryLocalStream(serve);
        };
    }
    config.on_local_port = [](uint16_t port, bool add) { setRelayPort("127.0.0.1", port, add); };
    logMessage(4, "[RTC] 로컬 어플리케이션 연결 방식: %s", config.local_mode.c_str());
    config.local_hostname = localHostName();
    config.device_specs = relayDeviceSpecs();
    config.on_state = [generation](RtcState state) {
        std::lock_guard<std::mutex> lock(gStatusMutex);
        if (generation != gGeneration) return;
        switch (state) {
            case RtcState::Connecting: relayStatus.store(kGatewayConnecting); break;
            case RtcState::Connected: relayStatus.store(kGatewayConnected); break;
            case RtcState::Disconnected: relayStatus.store(kGatewayDisconnected); break;
        }
    };
    const std::string server = config.server;
    const int port = config.port;
    const std::string uuid = config.uuid;

    ClientRun run;
    run.client = std::make_unique<RtcClient>(std::move(config));
    run.finished = std::make_shared<std::atomic<bool>>(false);
    {
        // Published before the thread can report anything.
        std::lock_guard<std::mutex> lock(gStatusMutex);
        relayClientRunning.store(true);
        relayStatus.store(kGatewayConnecting);
    }
    try {
        run.thread = std::thread(rtcClientThread, run.client.get(), generation, run.finished);
    } catch (...) {
        std::lock_guard<std::mutex> lock(gStatusMutex);
        ++gGeneration;
        relayClientRunning.store(false);
        relayStatus.store(kGatewayDisconnected);
        throw;
    }
    gCurrent = std::move(run);
    logMessage(3, "[RTC] 클라이언트 기동: %s:%d uuid=%s", server.c_str(), port, uuid.c_str());
}

void stopRtcClient(bool userStop) {
    std::lock_guard<std::mutex> lifecycle(gLifecycleMutex);
    if (userStop) relayStopRequested.store(true);
    if (gCurrent.client) {
        logMessage(3, "[RTC] 클라이언트 중지 요청");
        retireCurrentLocked();
    }
    {
        std::lock_guard<std::mutex> lock(gStatusMutex);
        ++gGeneration;
        relayClientRunning.store(false);
        if (userStop) relayStatus.store(kGatewayDown);
    }
    logMessage(3, "[RTC] 클라이언트 중지 완료");
}

bool joinStoppedRtcClients(int waitMs) {
    std::lock_guard<std::mutex> lifecycle(gLifecycleMutex);
    return joinStoppedLocked(waitMs);
}

bool shutdownRtcClient(int waitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    {
        std::lock_guard<std::mutex> lifecycle(gLifecycleMutex);
        retireCurrentLocked();
        if (!joinStoppedLocked(waitMs)) return false;
    }
    while (mivrelable::rtc::memoryServeThreadCount() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return mivrelable::rtc::memoryServeThreadCount() == 0;
}
