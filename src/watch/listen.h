// A watch whose session runs: listening in IDLE, renewing it, checking a
// connection that may be dead (after a sleep or a network change), and
// polling a server without IDLE. Worker thread only.
#pragma once

#include <windows.h>

#include "watch/session.h"

// How long until IDLE is renewed; 0 when it is due now. A renewal that is
// due waits while the start of a line waits for its end (DONE would drop
// it, and an EXISTS with it), for at most the response time-out; then the
// stale part goes, and the renewal with it.
DWORD RenewalWaitMs(Session* session);
// DONE, the completion of IDLE, then IDLE and its continuation, each answer
// within timeoutMs; the session is lost when one does not come.
void RestartIdle(Session* session, DWORD timeoutMs);
// Until the renewal is due, a line comes, the server goes, a thread message
// comes for the worker, a link check is due, or the stop.
void ListenIdle(Session* session);
// A session on a server without IDLE: NOOP every PollEveryMs, new mail when
// the message count grew.
void Poll(Session* session);
