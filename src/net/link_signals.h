// What tells a connection that says nothing that it may be dead: TCP
// keepalive on the socket, the machine's two clocks (a sleep shows as the
// one that counts it running ahead) and the system's address-change
// notification. Worker thread only.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <stdint.h>

#include "diag/trace.h"

// One reading of both clocks, in milliseconds.
struct ClockReading {
    uint64_t tickMs;     // counts the time the machine slept
    uint64_t unbiasedMs; // does not
};
// The system's clocks: GetTickCount64 and QueryUnbiasedInterruptTime.
ClockReading ReadSystemClocks();

// SIO_KEEPALIVE_VALS from the "keepAlive" setting in seconds: 0 is off;
// else the idle time, and a sixth of it (at least a second) between probes.
struct KeepAliveValues {
    uint32_t onOff;
    uint32_t timeMs;
    uint32_t intervalMs;
};
KeepAliveValues KeepAliveFor(int keepAliveSeconds);
// Keepalive on a connected socket ("KeepAlive(...)" traced).
void ApplyKeepAlive(SOCKET sock, int keepAliveSeconds, const Tracer& tracer);

// One overlapped NotifyAddrChange request, made when first wanted and
// re-armed after each change has been dealt with.
struct NetworkSignal;
// The address-change event to wait on, armed when it is not; NULL where the
// system gives no notification (traced once, and never asked again).
HANDLE ArmNetworkSignal(NetworkSignal** signal, const Tracer& tracer);
// The event fired: the request has completed and must be armed again.
void NetworkSignalFired(NetworkSignal* signal);
// Cancels the request and frees what the system no longer writes into.
void EndNetworkSignal(NetworkSignal** signal);
