#include "diag/trace.h"

#include <windows.h>

#include <string>

#include "diag/format.h"

void TraceV(int serial, bool enabled, const char* format, va_list arguments)
{
    if (!enabled)
        return;
    std::string line;
    FormatString(line, "[%02d]", serial);
    std::string message;
    FormatStringV(message, format, arguments);
    line += message;
    OutputDebugStringA(line.c_str());
}

void Trace(int serial, bool enabled, const char* format, ...)
{
    if (!enabled)
        return;
    va_list arguments;
    va_start(arguments, format);
    TraceV(serial, enabled, format, arguments);
    va_end(arguments);
}

bool TraceOn(const Tracer& tracer)
{
    return tracer.debug != nullptr && *tracer.debug != 0;
}

void TraceTo(const Tracer& tracer, const char* format, ...)
{
    if (!TraceOn(tracer))
        return;
    va_list arguments;
    va_start(arguments, format);
    TraceV(tracer.serial, true, format, arguments);
    va_end(arguments);
}
