// File helpers of the platform layer. Every descriptor and stream they open
// is close-on-exec, so programs the server starts inherit none of them.
// Safe for concurrent use by multiple threads.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

// open(2) with O_CLOEXEC added. Returns -1 with errno set on failure.
int openFileCloexec(const std::string& path, int flags, int mode = 0644);

// fopen(3) with close-on-exec ("e" added to `mode`). Null with errno on failure.
FILE* openStreamCloexec(const std::string& path, const char* mode);

// A read-only stream ("rb", close-on-exec) on `path` only when it names a
// regular file (links followed). The open never blocks: a FIFO, a device or
// a folder gives null with errno EINVAL, other failures null with open's errno.
FILE* openRegularFileStream(const std::string& path);

// Makes the directory entry changes in `dir` durable. Returns false with
// errno set when the folder cannot be opened or synced.
bool fsyncDirectory(const std::string& dir);

// Called after each step of replaceFileDurably with the step's number (1
// temp written, 2 temp synced, 3 renamed, 4 folder synced): tests count the
// steps or end the process between them.
using DurableReplaceStepObserver = std::function<void(int step)>;

// Replaces the file at `path` with `content` so that a crash at any moment
// leaves either the old file or the new one, never a mix: the data goes to a
// temporary file beside it, which is synced, renamed over `path`, and the
// folder is synced. On failure returns false, leaves the old file in place,
// removes the temporary file and, when `error` is given, describes the step.
// `onStep`, when set, is called after each step on the calling thread.
bool replaceFileDurably(const std::string& path, const std::string& content, std::string* error = nullptr,
                        const DurableReplaceStepObserver& onStep = {});

// The folder part of `path` ("." when it has none).
std::string parentDirectory(const std::string& path);
