// The checks of an idle connection that says nothing: after the machine
// slept (its two clocks drifted apart) and after the network changed (the
// system's address-change signal), the connection is asked whether it is
// still there. The decisions are liveness's; this holds the signal and the
// clocks of one watcher. Worker thread only.
#pragma once

#include <windows.h>

#include "diag/trace.h"
#include "net/link_signals.h"
#include "watch/liveness.h"

struct LinkChecks {
    LinkWatch watch;
    NetworkSignal* signal = nullptr;        // the address-change request, once made
    ClockReading (*readClocks)() = nullptr; // once: null reads the system's clocks

    LinkChecks() = default;
    ~LinkChecks();
    LinkChecks(const LinkChecks&) = delete;
    LinkChecks& operator=(const LinkChecks&) = delete;
};

// At IDLE (or polling) after a connect: the comparison of the clocks starts
// afresh.
void StartLinkChecks(LinkChecks* checks);
// The address-change event for the idle wait, armed when it is not; NULL
// while a change awaits its check, and where the system gives none.
HANDLE NetworkChangeEvent(LinkChecks* checks, const Tracer& tracer);
// How long the idle wait may last before LinkCheckNeeded must be asked.
DWORD LinkCheckWaitMs(LinkChecks* checks);
// After an idle wait, with whether the address-change event fired: true
// when the connection must be checked now (traced with the reason).
bool LinkCheckNeeded(LinkChecks* checks, bool networkSignalled, const Tracer& tracer);
// The worker's end: the address-change notification is cancelled.
void EndLinkChecks(LinkChecks* checks);
