// Process-wide start-up state. The server thread writes these during
// start-up, before any other server thread exists; later threads only read.
#pragma once

// Set by "--developer": the inference-library log callbacks print only then.
extern bool developerMode;

// The log limit chosen on the command line: 2 by default, 4 after
// "--verbose", 9 after "--developer". Read by the library log callbacks.
extern int configuredLogLevel;
