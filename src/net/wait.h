// The one wait of a worker: every time the worker waits, for the server,
// a helper thread or a pause, it waits here, in one
// MsgWaitForMultipleObjectsEx over what it waits for, its stop event and
// its thread's messages, until a deadline. A worker that waits this way
// costs nothing until one of them comes, and never keeps its own messages
// (new settings) or its stop waiting.
#pragma once

#include <windows.h>

// What every wait of one worker also watches.
struct WaitControl {
    HANDLE stop = NULL;         // manual-reset: set when the worker must end
    bool serveMessages = true;  // a posted thread message ends the wait
};

enum WaitEnd {
    WaitEndHandle,  // one of the handles waited for was signalled (*which says which)
    WaitEndStop,    // the stop event is set
    WaitEndMessage, // a posted message waits in the thread's queue
    WaitEndTimeout, // the time ran out
    WaitEndFailed,  // the wait itself failed (traced by the caller)
};

// Waits for one of `count` handles (at most MAXIMUM_WAIT_OBJECTS - 2; null
// entries are left out), the stop, a message, or `timeoutMs` (INFINITE: no
// limit). A message already in the queue ends the wait at once.
WaitEnd WaitForWork(const WaitControl& control, const HANDLE* handles, DWORD count, DWORD timeoutMs,
                    DWORD* which = nullptr);
// A pause that only the stop or a message cuts short.
WaitEnd Pause(const WaitControl& control, DWORD timeoutMs);
