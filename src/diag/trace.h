// The per-watcher debug trace on the system debugger output.
#pragma once

#include <stdarg.h>

// Writes "[%02d]" with the serial followed by the message, in one
// OutputDebugStringA call, and only when `enabled`. Callable on any thread.
// Text from the wire goes in as the argument of "%s", never as the format.
void Trace(int serial, bool enabled, const char* format, ...);
void TraceV(int serial, bool enabled, const char* format, va_list arguments);

// Where the layers under a watcher trace: its serial, and its "debug"
// setting, read afresh at each line because the worker may change it
// between two lines. Worker thread only, like the setting it points to.
struct Tracer {
    int serial = 0;
    const int* debug = nullptr; // null: never
};
bool TraceOn(const Tracer& tracer);
void TraceTo(const Tracer& tracer, const char* format, ...);
