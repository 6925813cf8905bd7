// SIGINT and SIGTERM as ordinary events: the process entry blocks them before
// any thread starts (threads inherit the mask) and collects them with
// waitForTerminationSignal, so the process ends through its normal exit path
// instead of inside a signal handler.
#pragma once

// Blocks SIGINT and SIGTERM in the calling thread. Call from main before any
// other thread exists.
void blockTerminationSignals();

// Waits up to `timeoutMs` for a pending SIGINT or SIGTERM and consumes it.
// Returns the signal number, or 0 when the time passed first.
// REQUIRES: the signals are blocked in every thread of the process.
int waitForTerminationSignal(int timeoutMs);

// Asks the process to end as a SIGTERM would: the thread waiting in
// waitForTerminationSignal takes it and runs the normal exit path. Safe from
// any thread; returns at once.
void requestProcessTermination();
