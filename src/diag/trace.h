// The per-watcher debug trace on the system debugger output.
#pragma once

#include <stdarg.h>

class TraceFile;

// Writes "[%02d]" with the serial followed by the message, in one
// OutputDebugStringA call, and only when `enabled`. Callable on any thread.
// Text from the wire goes in as the argument of "%s", never as the format.
void Trace(int serial, bool enabled, const char* format, ...);
// The same line, formatted once, to the debugger output when `debugger`, and
// to `file` when it is given and open.
void TraceLineV(int serial, bool debugger, const TraceFile* file, const char* format, va_list arguments);

// Where the layers under a watcher trace: its serial, its "debug" setting
// and its trace file, both read afresh at each line because the worker may
// change them between two lines. Worker thread only, like the setting it
// points to.
struct Tracer {
    int serial = 0;
    const int* debug = nullptr;      // null: never to the debugger output
    const TraceFile* file = nullptr; // null: no file; lines go to it while it is open
};
// Whether a line would go anywhere: work done only for a trace may be skipped.
bool TraceOn(const Tracer& tracer);
void TraceTo(const Tracer& tracer, const char* format, ...);
