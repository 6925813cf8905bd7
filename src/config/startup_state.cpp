#include "config/startup_state.h"

std::atomic<int64_t> serverStartTime{0};
std::atomic<bool> startupComplete{false};
std::atomic<bool> serverThreadIdle{false};
bool logFileOpen = false;
