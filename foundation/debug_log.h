// The debug log. Every module writes its debug messages here. By default they are dropped:
// nothing is written anywhere the user did not ask for. When a log file is set (the front ends
// set one when the user asks for a debug log), each message is appended to it as the line
// "Debug: <message>". Messages carry their own trailing line break, so one that ends with "\n"
// leaves an empty line after it. The file is opened, appended and closed for every message, so
// that lines from the worker thread and the window interleave whole and nothing is lost when
// the process ends; past kMaxDebugLogBytes it is renamed to "<file>.1" and begun afresh.
#pragma once

#include <cstdint>
#include <string>

// printf-style; the text is formatted into a bounded buffer and cut if longer.
void DebugLog(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));

// Where finished messages go. The window installs its own sink so that the engines' messages
// and its own pass through one handler; null restores the default sink.
using DEBUG_SINK = void (*)(const char* pszMessage);
void SetDebugSink(DEBUG_SINK sink);

// The file the default sink appends to; empty (the default) drops the messages.
void SetDebugLogPath(const std::string& path);
std::string GetDebugLogPath();
inline constexpr uint64_t kMaxDebugLogBytes = 4u << 20;

// The default sink: appends "Debug: " + message + "\n" to the log file, when one is set.
void AppendDebugLine(const char* pszMessage);
