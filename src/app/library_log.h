// Log callbacks that route ggml's and llama's own messages into the logger.
// Installed by start-up with ggml_log_set / llama_log_set; the user pointer
// is the standard error stream when library output is wanted, null when not.
// They never throw and may be called on any thread the libraries log from.
#pragma once

#include <ggml.h>

void ggmlLogCallback(enum ggml_log_level level, const char* text, void* user);
void llamaLogCallback(enum ggml_log_level level, const char* text, void* user);
