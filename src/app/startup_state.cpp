#include "app/startup_state.h"

bool developerMode = false;
int configuredLogLevel = 2;
