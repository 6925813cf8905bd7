#include "engine/release_policy.h"

#include <climits>
#include <ctime>

#include "base/logger.h"
#include "base/text_util.h"
#include "engine/format_string.h"
#include "engine/mivrel.h"
#include "engine/mivrel_events.h"

namespace {

// Reads "idle:" digits; false for an empty, non-decimal or too large number.
bool parseIdleMinutes(const std::string& digits, int& minutes) {
    if (digits.empty()) return false;
    long long value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
        if (value > INT_MAX) return false;
    }
    minutes = static_cast<int>(value);
    return true;
}

}  // namespace

ReleasePolicy resolveReleasePolicy(const std::string& id, const nlohmann::json& params,
                                   const nlohmann::json& modelProperties, const std::string& familyType) {
    ReleasePolicy policy;
    std::string text;
    if (params.is_object() && params.contains("release_policy") && params["release_policy"].is_string()) {
        text = params["release_policy"].get<std::string>();
        policy.source = "mivrel";
    } else if (modelProperties.is_object() && modelProperties.contains("loadDefaults") &&
               modelProperties["loadDefaults"].is_object() &&
               modelProperties["loadDefaults"].contains("release_policy") &&
               modelProperties["loadDefaults"]["release_policy"].is_string()) {
        text = modelProperties["loadDefaults"]["release_policy"].get<std::string>();
        policy.source = "model";
    } else {
        text = (familyType == "IMAGE" || familyType == "VIDEO") ? "idle:10" : "keep";
        policy.source = "default";
    }

    if (text == "keep" || text == "after_generate") {
        policy.kind = text;
    } else if (startsWith(text, "idle:")) {
        int minutes = 0;
        if (!parseIdleMinutes(text.substr(5), minutes)) {
            logMessage(2, "[Mivrel] %s release_policy 형식 오류 \"%s\" → keep", id.c_str(), text.c_str());
        } else if (minutes == 0) {
            policy.kind = "after_generate";
        } else {
            policy.kind = "idle";
            policy.idleMinutes = minutes;
        }
    } else {
        logMessage(2, "[Mivrel] %s release_policy 알 수 없는 값 \"%s\" → keep", id.c_str(), text.c_str());
    }
    policy.text = policy.kind == "idle" ? "idle:" + std::to_string(policy.idleMinutes) : policy.kind;
    return policy;
}

std::string formatReleaseTimeMs(int64_t epochMs) {
    const time_t seconds = static_cast<time_t>(epochMs / 1000);
    struct tm utc {};
    gmtime_r(&seconds, &utc);
    return formatString("%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                        utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(epochMs % 1000));
}

ReleasePolicy Mivrel::releasePolicy() const {
    return resolveReleasePolicy(config.id, config.loadSettings.params, config.loadSettings.modelProperties,
                                config.familyType);
}

nlohmann::json Mivrel::releaseStatusJson() const {
    const ReleasePolicy policy = releasePolicy();
    const int64_t lastActive = lastActiveAt.load();
    nlohmann::json status = nlohmann::json::object();
    status["policy"] = policy.text;
    status["source"] = policy.source;
    status["idle_minutes"] = policy.kind == "idle" ? nlohmann::json(policy.idleMinutes) : nlohmann::json();
    status["last_active_at"] = lastActive > 0 ? nlohmann::json(formatReleaseTimeMs(lastActive)) : nlohmann::json();
    status["release_at"] = nullptr;
    status["release_in_sec"] = nullptr;
    if (policy.kind == "idle" && hasEngine() && state.load() == kMivrelIdle && lastActive > 0) {
        const int64_t releaseAt = lastActive + static_cast<int64_t>(policy.idleMinutes) * 60000;
        const int64_t left = (releaseAt - nowMs()) / 1000;
        status["release_at"] = formatReleaseTimeMs(releaseAt);
        status["release_in_sec"] = left > 0 ? left : 0;
    }
    return status;
}

bool Mivrel::releaseAfterGenerate(const std::string& id) {
    if (releasePolicy().kind != "after_generate") return false;
    // unload makes the instance idle only after the engine is gone, so no
    // other request can claim it while the engine is destroyed.
    unload(true);
    logMessage(4, "[Mivrel] %s release_policy=after_generate → 생성 종료 후 모델 해제", id.c_str());
    reportMivrelEvent("info", "mivrel", id, "Mivrel unloaded", "release_policy=after_generate");
    return true;
}
