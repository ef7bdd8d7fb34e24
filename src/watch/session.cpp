#include "watch/session.h"

#include <stdarg.h>
#include <string.h>

#include <utility>

#include "diag/trace.h"

namespace {

const DWORD LongestPollMs = 2 * 60 * 1000;
const DWORD ShortestPollMs = 1000;

} // namespace

Session::Session()
{
    memset(&settings, 0, sizeof settings);
    settings.refreshTime = 12;
    settings.recvTimeout = 20;
    settings.recvAtConnected = 1;
}

bool InitSession(Session* session)
{
    session->stopEvent.Attach(CreateEventA(NULL, TRUE, FALSE, NULL));
    return session->stopEvent.Valid();
}

void RequestStop(Session* session)
{
    session->stopRequested = 1;
    SetEvent(session->stopEvent.Get());
}

bool StopRequested(const Session* session)
{
    return session->stopRequested != 0;
}

bool TraceEnabled(const Session* session)
{
    return session->settings.debug != 0 || session->traceFile.IsOpen();
}

void Trace(const Session* session, const char* format, ...)
{
    if (!TraceEnabled(session))
        return;
    va_list arguments;
    va_start(arguments, format);
    TraceLineV(session->serial, session->settings.debug != 0, &session->traceFile, format, arguments);
    va_end(arguments);
}

uint64_t NowMs()
{
    return GetTickCount64();
}

Tracer TracerOf(Session* session)
{
    Tracer tracer;
    tracer.serial = session->serial;
    tracer.debug = &session->settings.debug;
    tracer.file = &session->traceFile;
    return tracer;
}

WaitControl ControlOf(Session* session)
{
    WaitControl control;
    control.stop = session->stopEvent.Get();
    control.serveMessages = true;
    return control;
}

DWORD ResponseTimeoutMs(const Session* session)
{
    return static_cast<DWORD>(session->settings.recvTimeout) * 1000u;
}

// refreshTime minutes as a 32-bit product, compared unsigned.
DWORD RenewAfterMs(const Session* session)
{
    return static_cast<DWORD>(session->settings.refreshTime) * 60000u;
}

DWORD PollEveryMs(const Session* session)
{
    DWORD every = RenewAfterMs(session);
    if (every > LongestPollMs)
        every = LongestPollMs;
    if (every < ShortestPollMs)
        every = ShortestPollMs;
    return every;
}

// The status that other threads read, taken from the policy now.
void PublishStatus(Session* session)
{
    uint64_t now = NowMs();
    FILETIME utc;
    GetSystemTimeAsFileTime(&utc);
    ULARGE_INTEGER nowTime;
    nowTime.LowPart = utc.dwLowDateTime;
    nowTime.HighPart = utc.dwHighDateTime;
    const WatchPolicy& policy = session->policy;
    // Milliseconds of the tick count as 100 ns units of the system time.
    ULARGE_INTEGER since;
    since.QuadPart = nowTime.QuadPart - (now - policy.enteredAtMs) * 10000u;
    ULARGE_INTEGER next;
    next.QuadPart = nowTime.QuadPart + UntilNextAttemptMs(policy, now) * 10000ull;
    WatcherStatus status;
    status.state = policy.state;
    status.since.dwLowDateTime = since.LowPart;
    status.since.dwHighDateTime = since.HighPart;
    status.nextAttempt.dwLowDateTime = next.LowPart;
    status.nextAttempt.dwHighDateTime = next.HighPart;
    status.pollMinutes = static_cast<int>(PollEveryMs(session) / 60000u);
    status.failed = policy.lastFailure.happened;
    status.lastFailure.reason = policy.lastFailure.reason;
    status.lastFailure.fingerprint = policy.lastFailure.fingerprint;
    // Made outside the lock and swapped in: the other thread never waits
    // for an allocation here.
    HWND notify = NULL;
    UINT message = 0;
    {
        ExclusiveLock hold(session->statusLock);
        std::swap(session->status, status);
        notify = session->statusWindow;
        message = session->statusMessage;
    }
    // Posted outside the lock; a window gone in the meantime refuses it.
    if (notify != NULL)
        PostMessageA(notify, message, 0, 0);
}

WatcherStatus ReadStatus(Session* session)
{
    SharedLock hold(session->statusLock);
    return session->status;
}
