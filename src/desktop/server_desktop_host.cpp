#include "desktop/server_desktop_host.h"

#include <cstdlib>
#include <exception>

#include "app/app_init.h"
#include "base/logger.h"
#include "config/reported_address.h"
#include "config/runtime_properties.h"
#include "config/server_config.h"
#include "config/startup_state.h"
#include "desktop/process_entry.h"
#include "mgmt/registration_client.h"
#include "platform/desktop_open.h"
#include "platform/executable_path.h"
#include "relay/relay_lifecycle.h"

namespace {

std::string makerSite() {
    const char* configured = std::getenv("BRISVANE_WEB_SITE");
    std::string site = configured && *configured ? configured : kDefaultMakerSite;
    while (!site.empty() && site.back() == '/') site.pop_back();
    return site;
}

}  // namespace

DesktopHost makeServerDesktopHost(const std::string& socketPath) {
    DesktopHost host;
    host.log = [](int level, const std::string& text) { logMessage(level, "%s", text.c_str()); };
    host.serverStartResult = [] { return serverStartResult.load(); };
    host.startupComplete = [] { return startupComplete.load(); };
    host.serverPort = [] { return ServerConfig::SERV_PORT; };
    host.isRegistered = [] { return !runtimePropertiesSnapshot().brisvaneIdRegistration.empty(); };
    host.registerDevice = [] {
        const RegistrationResult result = registerBrisvane(reportedServIp(), reportedServPort());
        DesktopRegistration outcome;
        outcome.ok = result.ok;
        outcome.code = result.code;
        outcome.message = result.message;
        outcome.authUrl = result.authUrl;
        return outcome;
    };
    host.startRelayClient = [] {
        try {
            startRtcClient(appServices().relayLocal);
        } catch (const std::exception& e) {
            logMessage(1, "[mainWin] RTC 클라이언트 기동 실패: %s", e.what());
        }
    };
    host.startupErrorText = [](int code) { return startupErrorText(code); };
    host.openWithDesktop = [](const std::string& target) { openWithDesktop(target); };
    host.instanceSocketPath = socketPath;
    host.makerSite = makerSite();
    host.iconPath = executableDir() + "/webapp/assets/icon.svg";
    return host;
}
