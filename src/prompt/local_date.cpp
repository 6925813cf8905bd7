#include "prompt/local_date.h"

#include <ctime>

std::string formatLocalDate() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) return "1970-01-01";
    char text[32];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%d", &local);
    if (length == 0) return "1970-01-01";
    return std::string(text, length);
}
