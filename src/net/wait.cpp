#include "net/wait.h"

WaitEnd WaitForWork(const WaitControl& control, const HANDLE* handles, DWORD count, DWORD timeoutMs, DWORD* which)
{
    HANDLE all[MAXIMUM_WAIT_OBJECTS];
    DWORD index[MAXIMUM_WAIT_OBJECTS];
    DWORD used = 0;
    for (DWORD i = 0; i < count && used < MAXIMUM_WAIT_OBJECTS - 2; ++i) {
        if (handles[i] == NULL)
            continue;
        index[used] = i;
        all[used++] = handles[i];
    }
    DWORD stopAt = used;
    if (control.stop != NULL)
        all[used++] = control.stop;
    if (used == 0 && !control.serveMessages) {
        // Nothing to wait for but the time.
        Sleep(timeoutMs);
        return WaitEndTimeout;
    }
    DWORD waited = control.serveMessages
                       ? MsgWaitForMultipleObjectsEx(used, all, timeoutMs, QS_ALLPOSTMESSAGE, MWMO_INPUTAVAILABLE)
                       : WaitForMultipleObjects(used, all, FALSE, timeoutMs);
    if (waited == WAIT_TIMEOUT)
        return WaitEndTimeout;
    if (waited >= WAIT_OBJECT_0 && waited < WAIT_OBJECT_0 + used) {
        DWORD signalled = waited - WAIT_OBJECT_0;
        if (signalled == stopAt && control.stop != NULL)
            return WaitEndStop;
        if (which != nullptr)
            *which = index[signalled];
        return WaitEndHandle;
    }
    if (control.serveMessages && waited == WAIT_OBJECT_0 + used)
        return WaitEndMessage;
    return WaitEndFailed;
}

WaitEnd Pause(const WaitControl& control, DWORD timeoutMs)
{
    return WaitForWork(control, nullptr, 0, timeoutMs);
}
