#include "net/link_signals.h"

#include <ws2tcpip.h>
#include <mstcpip.h>
#include <iphlpapi.h>

#include <new>

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

} // namespace

ClockReading ReadSystemClocks()
{
    ULONGLONG unbiased = 0; // 100 ns units
    QueryUnbiasedInterruptTime(&unbiased);
    ClockReading reading = {GetTickCount64(), unbiased / 10000};
    return reading;
}

KeepAliveValues KeepAliveFor(int keepAliveSeconds)
{
    KeepAliveValues values = {0, 0, 0};
    if (keepAliveSeconds <= 0)
        return values;
    values.onOff = 1;
    values.timeMs = static_cast<uint32_t>(keepAliveSeconds) * 1000u;
    values.intervalMs = values.timeMs / 6;
    if (values.intervalMs < 1000)
        values.intervalMs = 1000;
    return values;
}

void ApplyKeepAlive(SOCKET sock, int keepAliveSeconds, const Tracer& tracer)
{
    KeepAliveValues values = KeepAliveFor(keepAliveSeconds);
    tcp_keepalive given;
    given.onoff = values.onOff;
    given.keepalivetime = values.timeMs;
    given.keepaliveinterval = values.intervalMs;
    DWORD returned = 0;
    if (WSAIoctl(sock, SIO_KEEPALIVE_VALS, &given, sizeof given, NULL, 0, &returned, NULL, NULL) != 0) {
        TraceTo(tracer, "KeepAlive Error(%d)", WSAGetLastError());
        return;
    }
    if (values.onOff == 0)
        TraceTo(tracer, "KeepAlive off");
    else
        TraceTo(tracer, "KeepAlive(%u,%u)", static_cast<unsigned>(values.timeMs),
                static_cast<unsigned>(values.intervalMs));
}

HANDLE ArmNetworkSignal(NetworkSignal** slot, const Tracer& tracer)
{
    if (*slot == NULL) {
        NetworkSignal* made = new (std::nothrow) NetworkSignal();
        if (made == NULL)
            return NULL;
        made->event = CreateEventA(NULL, FALSE, FALSE, NULL);
        if (made->event == NULL) {
            delete made;
            return NULL;
        }
        *slot = made;
    }
    NetworkSignal* signal = *slot;
    if (signal->unusable)
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
    TraceTo(tracer, "NotifyAddrChange unavailable(%u)", static_cast<unsigned>(result));
    return NULL;
}

void NetworkSignalFired(NetworkSignal* signal)
{
    if (signal != NULL)
        signal->pending = false; // completed: re-armed after its check
}

void EndNetworkSignal(NetworkSignal** slot)
{
    NetworkSignal* signal = *slot;
    if (signal == NULL)
        return;
    *slot = NULL;
    if (signal->pending) {
        CancelIPChangeNotify(&signal->overlapped);
        if (WaitForSingleObject(signal->event, CancelWaitMs) != WAIT_OBJECT_0 &&
            !HasOverlappedIoCompleted(&signal->overlapped))
            return; // still out: the record stays, for the system to write into
    }
    CloseHandle(signal->event);
    delete signal;
}
