// Process-wide platform set-up, called once at the top of each program's
// main before any thread starts.
#pragma once

// Ignores SIGPIPE, so a write to a closed socket returns EPIPE instead of
// ending the process. Idempotent.
void initProcessPlatform();
