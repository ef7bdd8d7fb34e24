#include "watch/registry.h"

#include <algorithm>
#include <list>
#include <memory>

#include "watch/watcher.h"
#include "watch/worker.h"

namespace {

// In order of creation; the registry owns its watchers. Only the host's
// thread touches the list, so it needs no lock; the windows of each watcher
// are another matter (see Watcher).
std::list<std::unique_ptr<Watcher>> WatcherRegistry;

// Serials run 1, 2, 3 ... and are never reused within the process.
int LastSerial = 0;

bool HoldsWindow(const Watcher* watcher, HWND window)
{
    // The host's thread is the only writer of windows, so it reads unlocked.
    const std::vector<HWND>& windows = watcher->windows;
    return std::find(windows.begin(), windows.end(), window) != windows.end();
}

} // namespace

int AttachWindow(HWND window, const std::string& account)
{
    Watcher* watcher = FindWatcherByWindow(window);
    if (watcher != NULL) {
        if (watcher->account == account)
            return 0;
        // The window now shows another account.
        if (DetachWindow(watcher, window) == 0)
            DestroyWatcher(watcher);
    }
    watcher = FindWatcherByAccount(account);
    if (watcher == NULL) {
        CreateWatcher(window, account);
        return 1;
    }
    // The longer list is made outside the lock (the host's thread is the
    // only writer, so it may read the list unlocked), and only swapped in
    // under it: no allocation that can fail runs while the lock is held.
    std::vector<HWND> windows(watcher->windows);
    windows.push_back(window);
    ExclusiveLock hold(watcher->windowsLock);
    watcher->windows.swap(windows);
    return static_cast<int>(watcher->windows.size());
}

int DetachWindow(Watcher* watcher, HWND window)
{
    int count;
    {
        ExclusiveLock hold(watcher->windowsLock);
        std::vector<HWND>& windows = watcher->windows;
        std::vector<HWND>::iterator it = std::find(windows.begin(), windows.end(), window);
        if (it != windows.end())
            windows.erase(it);
        count = static_cast<int>(windows.size());
        // A notice posted to this window dies with its timer; the next mail
        // goes to the window that is now in front.
        watcher->mailNoticeAt.store(0);
    }
    TraceWatcher(watcher, "Window Count=%d", count);
    return count;
}

Watcher* FindWatcherByWindow(HWND window)
{
    for (const std::unique_ptr<Watcher>& watcher : WatcherRegistry)
        if (HoldsWindow(watcher.get(), window))
            return watcher.get();
    return NULL;
}

Watcher* FindWatcherByAccount(const std::string& account)
{
    for (const std::unique_ptr<Watcher>& watcher : WatcherRegistry)
        if (watcher->account == account)
            return watcher.get();
    return NULL;
}

void CreateWatcher(HWND window, const std::string& account)
{
    // The watcher is made in a list of its own and joins the registry whole:
    // when InitWatcher throws, the list takes the half-made watcher with it
    // and the registry never sees it. Splicing the node over allocates
    // nothing, so a worker once started is never left without its entry.
    std::list<std::unique_ptr<Watcher>> made;
    made.push_back(std::unique_ptr<Watcher>(new Watcher));
    InitWatcher(made.back().get(), window, account, ++LastSerial);
    WatcherRegistry.splice(WatcherRegistry.end(), made);
}

void DestroyWatcher(Watcher* watcher)
{
    std::unique_ptr<Watcher> owned;
    for (std::list<std::unique_ptr<Watcher>>::iterator it = WatcherRegistry.begin(); it != WatcherRegistry.end();
         ++it) {
        if (it->get() == watcher) {
            owned = std::move(*it);
            WatcherRegistry.erase(it);
            break;
        }
    }
    // A watcher that is not in the registry is released and freed all the
    // same.
    if (!owned)
        owned.reset(watcher);
    if (!ReleaseWatcher(watcher))
        owned.release(); // the worker frees it as it ends
}

void CloseWindowSequence(HWND window)
{
    Watcher* watcher = FindWatcherByWindow(window);
    if (watcher == NULL)
        return;
    if (DetachWindow(watcher, window) == 0)
        DestroyWatcher(watcher);
}

bool LastConnectFailure(HWND window, ConnectFailure* failure, std::string* account)
{
    Watcher* watcher = FindWatcherByWindow(window);
    if (watcher == NULL)
        return false;
    *account = watcher->account;
    SharedLock hold(watcher->failureLock);
    *failure = watcher->lastFailure;
    return true;
}

void MailNoticeServed(HWND window)
{
    Watcher* watcher = FindWatcherByWindow(window);
    if (watcher != NULL)
        watcher->mailNoticeAt.store(0);
}

bool WindowWatcherStatus(HWND window, WatcherStatus* status)
{
    Watcher* watcher = FindWatcherByWindow(window);
    if (watcher == NULL)
        return false;
    *status = ReadStatus(&watcher->session);
    return true;
}

bool NoticeStatusTo(HWND window, HWND notify, UINT message)
{
    Watcher* watcher = FindWatcherByWindow(window);
    if (watcher == NULL)
        return false;
    ExclusiveLock hold(watcher->session.statusLock);
    watcher->session.statusWindow = notify;
    watcher->session.statusMessage = message;
    return true;
}

void EndStatusNotice(HWND notify)
{
    for (const std::unique_ptr<Watcher>& watcher : WatcherRegistry) {
        ExclusiveLock hold(watcher->session.statusLock);
        if (watcher->session.statusWindow == notify)
            watcher->session.statusWindow = NULL;
    }
}
