#include "watch/registry.h"

#include <algorithm>
#include <list>

#include "diag/trace.h"
#include "host/host_api.h"
#include "watch/watcher.h"
#include "watch/worker.h"

namespace {

// In order of creation. Only the host's thread touches the list, so it needs
// no lock; the windows of each watcher are another matter (see Watcher).
std::list<Watcher*> WatcherRegistry;

// Serials run 1, 2, 3 ... and are never reused within the process.
int LastSerial = 0;

bool HoldsWindow(Watcher* watcher, HWND window)
{
    // The host's thread is the only writer of windows, so it reads unlocked.
    const std::vector<HWND>& windows = watcher->windows;
    return std::find(windows.begin(), windows.end(), window) != windows.end();
}

} // namespace

int AttachWindow(HWND window)
{
    std::string name = HostGetAccount(window);
    Watcher* watcher = FindWatcherByWindow(window);
    if (watcher != NULL) {
        if (watcher->account == name)
            return 0;
        // The window now shows another account.
        if (DetachWindow(watcher, window) == 0)
            DestroyWatcher(watcher);
    }
    watcher = FindWatcherByAccount(name);
    if (watcher == NULL) {
        CreateWatcher(window);
        return 1;
    }
    AcquireSRWLockExclusive(&watcher->windowsLock);
    watcher->windows.push_back(window);
    int count = static_cast<int>(watcher->windows.size());
    ReleaseSRWLockExclusive(&watcher->windowsLock);
    return count;
}

int DetachWindow(Watcher* watcher, HWND window)
{
    AcquireSRWLockExclusive(&watcher->windowsLock);
    std::vector<HWND>& windows = watcher->windows;
    std::vector<HWND>::iterator it = std::find(windows.begin(), windows.end(), window);
    if (it != windows.end())
        windows.erase(it);
    int count = static_cast<int>(windows.size());
    ReleaseSRWLockExclusive(&watcher->windowsLock);
    Trace(watcher, "Window Count=%d", count);
    return count;
}

Watcher* FindWatcherByWindow(HWND window)
{
    for (Watcher* watcher : WatcherRegistry)
        if (HoldsWindow(watcher, window))
            return watcher;
    return NULL;
}

Watcher* FindWatcherByAccount(const std::string& account)
{
    for (Watcher* watcher : WatcherRegistry)
        if (watcher->account == account)
            return watcher;
    return NULL;
}

void CreateWatcher(HWND window)
{
    Watcher* watcher = new Watcher;
    InitWatcher(watcher, window, ++LastSerial);
    WatcherRegistry.push_back(watcher);
}

void DestroyWatcher(Watcher* watcher)
{
    std::list<Watcher*>::iterator it = std::find(WatcherRegistry.begin(), WatcherRegistry.end(), watcher);
    if (it != WatcherRegistry.end())
        WatcherRegistry.erase(it);
    ReleaseWatcher(watcher);
    delete watcher;
}

void CloseWindowSequence(HWND window)
{
    // The host is asked for the account as it always was; the answer is not
    // needed, since the window's watcher is found by the window itself.
    HostGetAccount(window);
    Watcher* watcher = FindWatcherByWindow(window);
    if (watcher == NULL)
        return;
    if (DetachWindow(watcher, window) == 0)
        DestroyWatcher(watcher);
}
