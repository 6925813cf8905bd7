// Log callbacks that route ggml's and llama's own messages into the logger.
// Start-up installs them with ggml_log_set / llama_log_set through small
// adapters that pass the level on as a number, so that this library needs
// none of the inference library's headers. `level` is ggml's numeric log
// level; the user pointer is the standard error stream when library output is
// wanted, null when not. They never throw and may be called on any thread the
// libraries log from.
#pragma once

// Set by "--developer": the inference-library log callbacks print only then.
extern bool developerMode;

// The log limit chosen on the command line: 2 by default, 4 after
// "--verbose", 9 after "--developer". Read by the library log callbacks.
extern int configuredLogLevel;

void ggmlLogCallback(int level, const char* text, void* user);
void llamaLogCallback(int level, const char* text, void* user);
