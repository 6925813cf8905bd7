#include "base/version.h"

const char* const kAppVersion = "1.0.23";
