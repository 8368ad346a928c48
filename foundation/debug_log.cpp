#include "foundation/debug_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {
std::atomic<DEBUG_SINK> g_sink{nullptr};
}

void AppendDebugLine(const char* pszMessage) {
    FILE* log = std::fopen("Log.txt", "a");
    if (log == nullptr) return;  // the log is a diagnostic aid; losing it never stops a job
    std::fprintf(log, "Debug: %s\n", pszMessage);
    std::fclose(log);
}

void SetDebugSink(DEBUG_SINK sink) {
    g_sink.store(sink);
}

void DebugLog(const char* pszFormat, ...) {
    char text[1024];
    va_list args;
    va_start(args, pszFormat);
    std::vsnprintf(text, sizeof text, pszFormat, args);
    va_end(args);
    const DEBUG_SINK sink = g_sink.load();
    (sink != nullptr ? sink : AppendDebugLine)(text);
}
