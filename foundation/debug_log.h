// The debug log. Every module writes its debug messages here; by default each message is
// appended to "Log.txt" in the current folder as the line "Debug: <message>". Messages carry
// their own trailing line break, so one that ends with "\n" leaves an empty line after it.
// The file is opened, appended and closed for every message, so that lines from the worker
// thread and the window interleave whole and nothing is lost when the process ends.
#pragma once

// printf-style; the text is formatted into a bounded buffer and cut if longer.
void DebugLog(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));

// Where finished messages go. The window installs its own sink so that the engines' messages
// and its own pass through one handler; null restores the default "Log.txt" sink.
using DEBUG_SINK = void (*)(const char* pszMessage);
void SetDebugSink(DEBUG_SINK sink);

// The default sink: appends "Debug: " + message + "\n" to "Log.txt".
void AppendDebugLine(const char* pszMessage);
