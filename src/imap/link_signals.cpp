#include "imap/link_signals.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <iphlpapi.h>

#include <new>

#include "imap/session.h"

// One overlapped NotifyAddrChange of a worker. The system writes into the
// OVERLAPPED until the request completes or is cancelled, so the record is
// freed only when it is known to be done with.
struct NetworkSignal {
    OVERLAPPED overlapped;
    HANDLE event;   // auto-reset: one signal, one change
    bool pending;   // a request is out
    bool unusable;  // the system gives no notification: never asked again
};

namespace {

// How long the worker's end waits for a cancelled request to complete.
const DWORD CancelWaitMs = 1000;

NetworkSignal* SignalOf(Session* session)
{
    if (session->networkSignal == NULL) {
        NetworkSignal* signal = new (std::nothrow) NetworkSignal();
        if (signal == NULL)
            return NULL;
        signal->event = CreateEventA(NULL, FALSE, FALSE, NULL);
        if (signal->event == NULL) {
            delete signal;
            return NULL;
        }
        session->networkSignal = signal;
    }
    return session->networkSignal;
}

ClockReading ClocksOf(const Session* session)
{
    return session->readClocks != NULL ? session->readClocks() : ReadSystemClocks();
}

} // namespace

ClockReading ReadSystemClocks()
{
    ULONGLONG unbiased = 0; // 100 ns units
    QueryUnbiasedInterruptTime(&unbiased);
    ClockReading reading = {GetTickCount64(), unbiased / 10000};
    return reading;
}

void ApplyKeepAlive(Session* session)
{
    KeepAliveValues values = KeepAliveFor(session->settings.keepAlive);
    tcp_keepalive given;
    given.onoff = values.onOff;
    given.keepalivetime = values.timeMs;
    given.keepaliveinterval = values.intervalMs;
    DWORD returned = 0;
    if (WSAIoctl(session->sock.Get(), SIO_KEEPALIVE_VALS, &given, sizeof given, NULL, 0, &returned, NULL, NULL) !=
        0) {
        Trace(session, "KeepAlive Error(%d)", WSAGetLastError());
        return;
    }
    if (values.onOff == 0)
        Trace(session, "KeepAlive off");
    else
        Trace(session, "KeepAlive(%u,%u)", static_cast<unsigned>(values.timeMs),
              static_cast<unsigned>(values.intervalMs));
}

void StartLinkChecks(Session* session)
{
    StartLinkWatch(&session->link, ClocksOf(session));
}

HANDLE NetworkChangeEvent(Session* session)
{
    if (!NetworkSignalWanted(session->link))
        return NULL;
    NetworkSignal* signal = SignalOf(session);
    if (signal == NULL || signal->unusable)
        return NULL;
    if (signal->pending)
        return signal->event;
    HANDLE handle = NULL;
    ResetEvent(signal->event);
    ZeroMemory(&signal->overlapped, sizeof signal->overlapped);
    signal->overlapped.hEvent = signal->event;
    DWORD result = NotifyAddrChange(&handle, &signal->overlapped);
    // A request that is really out comes with the handle it is out on. Some
    // systems answer "pending" and give none, and never signal: the event
    // is then left out of the wait for good, and costs nothing.
    if (result == ERROR_IO_PENDING && handle != NULL && handle != INVALID_HANDLE_VALUE) {
        signal->pending = true;
        return signal->event;
    }
    signal->unusable = true;
    Trace(session, "NotifyAddrChange unavailable(%u)", static_cast<unsigned>(result));
    return NULL;
}

DWORD LinkCheckWaitMs(Session* session)
{
    uint32_t wait = LinkWaitMs(session->link, ClocksOf(session));
    return wait == 0 ? 1 : static_cast<DWORD>(wait);
}

bool LinkCheckNeeded(Session* session, bool networkSignalled)
{
    if (networkSignalled && session->networkSignal != NULL)
        session->networkSignal->pending = false; // completed: re-armed after its check
    LinkCheckReason reason = LinkCheckDue(&session->link, ClocksOf(session), networkSignalled);
    if (reason == LinkCheckResume)
        Trace(session, "Resumed from sleep: check connection");
    else if (reason == LinkCheckNetwork)
        Trace(session, "Network changed: check connection");
    return reason != LinkCheckNone;
}

void EndLinkChecks(Session* session)
{
    NetworkSignal* signal = session->networkSignal;
    if (signal == NULL)
        return;
    session->networkSignal = NULL;
    if (signal->pending) {
        CancelIPChangeNotify(&signal->overlapped);
        if (WaitForSingleObject(signal->event, CancelWaitMs) != WAIT_OBJECT_0 &&
            !HasOverlappedIoCompleted(&signal->overlapped))
            return; // still out: the record stays, for the system to write into
    }
    CloseHandle(signal->event);
    delete signal;
}
