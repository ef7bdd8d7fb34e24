// The per-watcher debug trace on the system debugger output.
#pragma once

struct Watcher;

// Writes "[%02d]" with the watcher's serial followed by the message, in one
// OutputDebugStringA call, and only when the watcher's debug setting is on.
// Callable on any thread. Text from the wire goes in as the argument of
// "%s", never as the format.
void Trace(Watcher* watcher, const char* format, ...);

// Whether the watcher traces: lets callers skip work done only for a line.
bool TraceEnabled(Watcher* watcher);
