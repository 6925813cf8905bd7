// Process-wide platform set-up, called once at the top of each program's
// main before any thread starts.
#pragma once

// Ignores SIGPIPE, so a write to a closed socket returns EPIPE instead of
// ending the process, and raises the open-descriptor limit to the most the
// system allows this process: a server that keeps thousands of waiting
// connections needs a descriptor for each. Idempotent.
void initProcessPlatform();
