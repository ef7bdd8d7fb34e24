#include "diag/trace.h"

#include <windows.h>

#include <string>

#include "diag/format.h"
#include "diag/trace_file.h"

void TraceLineV(int serial, bool debugger, const TraceFile* file, const char* format, va_list arguments)
{
    bool toFile = file != nullptr && file->IsOpen();
    if (!debugger && !toFile)
        return;
    std::string line;
    FormatString(line, "[%02d]", serial);
    std::string message;
    FormatStringV(message, format, arguments);
    line += message;
    if (debugger)
        OutputDebugStringA(line.c_str());
    if (toFile)
        file->Append(line.c_str());
}

void Trace(int serial, bool enabled, const char* format, ...)
{
    if (!enabled)
        return;
    va_list arguments;
    va_start(arguments, format);
    TraceLineV(serial, true, nullptr, format, arguments);
    va_end(arguments);
}

bool TraceOn(const Tracer& tracer)
{
    return (tracer.debug != nullptr && *tracer.debug != 0) || (tracer.file != nullptr && tracer.file->IsOpen());
}

void TraceTo(const Tracer& tracer, const char* format, ...)
{
    if (!TraceOn(tracer))
        return;
    va_list arguments;
    va_start(arguments, format);
    TraceLineV(tracer.serial, tracer.debug != nullptr && *tracer.debug != 0, tracer.file, format, arguments);
    va_end(arguments);
}
