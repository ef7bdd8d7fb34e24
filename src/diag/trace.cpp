#include "diag/trace.h"

#include <stdarg.h>
#include <windows.h>

#include <string>

#include "diag/format.h"
#include "watch/watcher.h"

bool TraceEnabled(Watcher* watcher)
{
    // debug is one of the settings the worker may be replacing right now.
    AcquireSRWLockShared(&watcher->settingsLock);
    bool enabled = watcher->debug != 0;
    ReleaseSRWLockShared(&watcher->settingsLock);
    return enabled;
}

void Trace(Watcher* watcher, const char* format, ...)
{
    if (!TraceEnabled(watcher))
        return;
    std::string line;
    FormatString(line, "[%02d]", watcher->serial);
    std::string message;
    va_list arguments;
    va_start(arguments, format);
    FormatStringV(message, format, arguments);
    va_end(arguments);
    line += message;
    OutputDebugStringA(line.c_str());
}
