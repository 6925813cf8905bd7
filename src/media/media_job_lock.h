// Process-wide state that all media engines share: the lock that lets one
// job at a time into the media library, which engine's job is inside it, and
// the library's progress and log callbacks, which reach that engine.
// All of it is safe from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

class MivrelMediaEngine;

// Held by one job at a time, from its cancellation test until its outputs
// are stored (reference decoding, the library call, encoding and storing).
std::mutex& mediaGenerationLock();

// The engine whose job is inside the library (null otherwise) and that job's
// step total. Written only by the holder of mediaGenerationLock.
extern std::atomic<MivrelMediaEngine*> currentMediaEngine;
extern std::atomic<int32_t> expectedSteps;

// The library's progress callback: a step of the current job becomes its
// "progress" event when the step total matches the job's; after a video job's
// last sampling step, later callbacks of that job are dropped.
void sdProgressCallback(int32_t step, int32_t steps, float seconds, void* data);

// The library's log callback: level 3 and above is logged as a warning;
// level 2 as information when it tells about memory fit, else as debug; lower
// levels are dropped. The text keeps its own line end.
void sdLogCallback(int32_t level, const char* text, void* data);
