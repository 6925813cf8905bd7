#include "app/startup_state.h"

bool developerMode = false;
int configuredLogLevel = 2;
std::atomic<int64_t> serverStartTime{0};
std::atomic<bool> startupComplete{false};
std::atomic<bool> serverThreadIdle{false};
bool logFileOpen = false;
