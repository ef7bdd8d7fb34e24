#include "watch/worker.h"

#include "diag/trace.h"
#include "host/host_api.h"
#include "watch/watcher.h"

// The worker thread itself comes with the IMAP session; until then a watcher
// is a record in the registry with no thread and no connection.

Watcher* InitWatcher(Watcher* watcher, HWND window, int serial)
{
    watcher->serial = serial;
    watcher->windows.push_back(window);
    watcher->account = HostGetAccount(window);
    watcher->threadEnded = 1;
    return watcher;
}

void UpdateSettings(Watcher*)
{
}

void ReleaseWatcher(Watcher* watcher)
{
    Trace(watcher, "set Terminate");
    watcher->stopRequested = 1;
}
