#include "config/server_config.h"

#include <cctype>
#include <climits>
#include <filesystem>
#include <stdexcept>

#include "base/logger.h"
#include "base/text_util.h"

namespace ServerConfig {
std::string SERV_IP = "localhost";
int SERV_PORT = 4092;
std::string RTC_LOCAL_MODE = "memory";
bool LOCAL_V1_ACCESS = false;
std::string confPathAbsolute;
std::string MAIN_LOG_FILE;
std::string DIR_MIVREL = "mivrel";
std::string DIR_MODELS = "models";
std::string DIR_LOGS = "logs";
std::string WEBAPP_FILE_PATH = "webapp";
std::string WEBAPP_PUBLIC_PATH;
long long MODELS_FREE_SPACE_RESERVE_MB = 1024;

void resetToDefaults() {
    SERV_IP = "localhost";
    SERV_PORT = 4092;
    RTC_LOCAL_MODE = "memory";
    LOCAL_V1_ACCESS = false;
    confPathAbsolute.clear();
    MAIN_LOG_FILE.clear();
    DIR_MIVREL = "mivrel";
    DIR_MODELS = "models";
    DIR_LOGS = "logs";
    WEBAPP_FILE_PATH = "webapp";
    WEBAPP_PUBLIC_PATH.clear();
    MODELS_FREE_SPACE_RESERVE_MB = 1024;
}
}  // namespace ServerConfig

std::pair<std::string, std::string> findConfFile(std::string* error) {
    static const char* const kCandidates[] = {"conf/serv.conf", "conf/runtime.conf"};
    for (const char* path : kCandidates) {
        try {
            std::string text = readFileToString(path);
            logMessage(3, "[conf] loaded: %s", path);
            return {std::move(text), path};
        } catch (const FileReadError& e) {
            if (error) *error = e.what();
            return {std::string(), path};
        } catch (const std::exception&) {
        }
    }
    return {};
}

namespace {

const std::string* lookup(const std::map<std::string, std::string>& values, const char* key) {
    const auto it = values.find(key);
    return it == values.end() ? nullptr : &it->second;
}

}  // namespace

int applyServerConfig(const std::map<std::string, std::string>& values, std::string* error) {
    using namespace ServerConfig;
    if (const auto* v = lookup(values, "SERV_IP")) SERV_IP = *v;
    if (const auto* v = lookup(values, "SERV_PORT")) {
        bool outOfRange = false;
        const long long port = leadingInteger(*v, &outOfRange);
        // A port keeps no more than 16 bits: anything outside the valid range
        // would silently listen somewhere else.
        if (outOfRange || port < 1 || port > 65535) {
            if (error) *error = "SERV_PORT out of range (1..65535): " + *v;
            return 1011;
        }
        SERV_PORT = static_cast<int>(port);
    }
    if (const auto* v = lookup(values, "RTC_LOCAL_MODE")) {
        if (*v == "memory" || *v == "socket") {
            RTC_LOCAL_MODE = *v;
        } else {
            logMessage(2, "[conf] RTC_LOCAL_MODE 알 수 없는 값 \"%s\" → memory", v->c_str());
            RTC_LOCAL_MODE = "memory";
        }
    }
    if (const auto* v = lookup(values, "LOCAL_V1_ACCESS")) {
        LOCAL_V1_ACCESS = *v == "true";
        if (LOCAL_V1_ACCESS)
            logMessage(2, "[conf] LOCAL_V1_ACCESS = true — localhost 포트에서 /v1 추론 API 직접 호출 허용 (개발용)");
    }
    if (const auto* v = lookup(values, "MAIN_LOG_FILE")) MAIN_LOG_FILE = *v;
    if (const auto* v = lookup(values, "DIR_MIVREL"); v && !v->empty()) DIR_MIVREL = *v;
    if (const auto* v = lookup(values, "DIR_MODELS"); v && !v->empty()) DIR_MODELS = *v;
    if (const auto* v = lookup(values, "DIR_LOGS"); v && !v->empty()) DIR_LOGS = *v;
    if (const auto* v = lookup(values, "WEBAPP_FILE_PATH")) WEBAPP_FILE_PATH = *v;
    if (const auto* v = lookup(values, "WEBAPP_PUBLIC_PATH")) WEBAPP_PUBLIC_PATH = *v;
    if (const auto* v = lookup(values, "MODELS_FREE_SPACE_RESERVE_MB")) {
        bool outOfRange = false;
        long long reserve = -1;
        try {
            reserve = leadingInteger(*v, &outOfRange);
        } catch (const std::invalid_argument&) {
        }
        if (outOfRange || reserve < 0) {
            logMessage(2, "[conf] MODELS_FREE_SPACE_RESERVE_MB 잘못된 값 \"%s\" → 1024", v->c_str());
        } else {
            MODELS_FREE_SPACE_RESERVE_MB = reserve;
        }
    }
    return 0;
}

std::string resolveModelStoragePath(const std::string& modelId, const std::string& fallback) {
    return resolveModelStoragePath(ServerConfig::DIR_MODELS, modelId, fallback);
}

std::string resolveModelStoragePath(const std::string& modelsDir, const std::string& modelId,
                                    const std::string& fallback) {
    if (modelId.empty()) return fallback;
    const std::filesystem::path joined = std::filesystem::path(modelsDir) / modelId;
    std::error_code ec;
    if (std::filesystem::is_directory(joined, ec)) return joined.string();
    return fallback;
}

bool isAbsolutePath(const std::string& path) {
    if (path.empty()) return false;
    if (path[0] == '/') return true;
    if (path.size() > 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
        (path[2] == '\\' || path[2] == '/'))
        return true;
    return path.size() >= 2 && path[0] == '\\' && path[1] == '\\';
}
