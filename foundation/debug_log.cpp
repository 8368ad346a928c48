#include "foundation/debug_log.h"

#include <sys/stat.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {
std::atomic<DEBUG_SINK> g_sink{nullptr};
std::mutex g_pathMutex;
std::string g_path;  // guarded by g_pathMutex
}  // namespace

void SetDebugLogPath(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_pathMutex);
    g_path = path;
}

std::string GetDebugLogPath() {
    std::lock_guard<std::mutex> lock(g_pathMutex);
    return g_path;
}

void AppendDebugLine(const char* pszMessage) {
    std::lock_guard<std::mutex> lock(g_pathMutex);
    if (g_path.empty()) return;
    struct stat st;
    if (stat(g_path.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) > kMaxDebugLogBytes)
        std::rename(g_path.c_str(), (g_path + ".1").c_str());
    FILE* log = std::fopen(g_path.c_str(), "a");
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
