#include "api_test_util.h"

std::atomic<int> StubEngine::live{0};
