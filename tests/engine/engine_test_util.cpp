#include "engine_test_util.h"

std::atomic<int> FakeEngine::live{0};
std::atomic<int> FakeEngine::loads{0};
std::atomic<int> FakeEngine::nextLoadDelayMs{0};
std::atomic<bool> FakeEngine::nextFailLoad{false};
