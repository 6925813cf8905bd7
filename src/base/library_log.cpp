#include "base/library_log.h"

#include <cstring>

#include "base/logger.h"
#include "base/text_util.h"

bool developerMode = false;
int configuredLogLevel = 2;

// ggml's numeric levels: 1 debug, 2 info, 3 warn, 4 error, 5 continuation.
void ggmlLogCallback(int level, const char* text, void* user) {
    if (!user || !developerMode || !text) return;
    const char* tag = "";
    switch (level) {
        case 1:
            if (configuredLogLevel < 5) return;
            tag = "GGML_DEBUG";
            break;
        case 2:
            if (configuredLogLevel < 4) return;
            tag = "GGML_INFO";
            break;
        case 3: tag = "GGML_WARN"; break;
        case 4: tag = "GGML_ERROR"; break;
        default: break;
    }
    logMessageRaw(7, "[%s] %s", tag, text);
}

void llamaLogCallback(int level, const char* text, void* user) {
    if (!user || !developerMode || !text) return;
    const char* tag = nullptr;
    switch (level) {
        case 5:
            logMessageRaw(7, "%s", text);
            return;
        case 1:
            // CUDA graph and state-save chatter floods the log at debug level.
            if (configuredLogLevel < 5 || std::strstr(text, "state_write_data") ||
                startsWith(text, "CUDA Graph") || startsWith(text, "ggml_backend_cuda_graph_compute"))
                return;
            tag = "LLAMA_DEBUG";
            break;
        case 2:
            if (configuredLogLevel < 4) return;
            tag = "LLAMA_INFO";
            break;
        case 3: tag = "LLAMA_WARN"; break;
        case 4: tag = "LLAMA_ERROR"; break;
        default:
            logMessageRaw(7, "%d", level);
            tag = "LLAMA_??";
            break;
    }
    logMessageRaw(7, "[%s] %s", tag, text);
}
