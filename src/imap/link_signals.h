// What tells an idling session that its connection may be dead while no
// byte says so: TCP keepalive on the socket, the machine's two clocks
// (compared for a sleep every minute) and the system's address-change
// notification. Worker thread only.
#pragma once

#include <windows.h>

#include "imap/liveness.h"

struct Session;

// The system's clocks: GetTickCount64 and QueryUnbiasedInterruptTime.
ClockReading ReadSystemClocks();

// Keepalive on the session's socket from its "keepAlive" setting.
void ApplyKeepAlive(Session* session);

// At IDLE after a connect: the comparison of the clocks starts afresh.
void StartLinkChecks(Session* session);
// The address-change event for the idle wait, armed when it is not; NULL
// while a change awaits its check, and where the system gives none.
HANDLE NetworkChangeEvent(Session* session);
// How long the idle wait may last before LinkCheckNeeded must be asked.
DWORD LinkCheckWaitMs(Session* session);
// After an idle wait, with whether the address-change event fired: true
// when the connection must be checked now (traced with the reason).
bool LinkCheckNeeded(Session* session, bool networkSignalled);
// The worker's end: the address-change notification is cancelled.
void EndLinkChecks(Session* session);
