#include "media/job_options.h"

#include <cmath>
#include <random>

int64_t jobInt(const nlohmann::json& options, const char* key, int64_t fallback) {
    const auto it = options.find(key);
    if (it == options.end()) return fallback;
    if (it->is_number_integer()) {
        if (it->is_number_unsigned() && it->get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)) return fallback;
        return it->get<int64_t>();
    }
    if (it->is_number_float()) {
        const double v = it->get<double>();
        if (std::isfinite(v) && v > -9.2e18 && v < 9.2e18) return static_cast<int64_t>(v);
    }
    return fallback;
}

double jobNumber(const nlohmann::json& options, const char* key, double fallback) {
    const auto it = options.find(key);
    return it != options.end() && it->is_number() ? it->get<double>() : fallback;
}

bool jobBool(const nlohmann::json& options, const char* key, bool fallback) {
    const auto it = options.find(key);
    return it != options.end() && it->is_boolean() ? it->get<bool>() : fallback;
}

std::string jobText(const nlohmann::json& options, const char* key, const std::string& fallback) {
    const auto it = options.find(key);
    return it != options.end() && it->is_string() ? it->get<std::string>() : fallback;
}

int64_t resolveSeed(int64_t seed) {
    if (seed >= 0) return seed;
    std::random_device device;
    return static_cast<int64_t>(device() & 0x7FFFFFFFu);
}
