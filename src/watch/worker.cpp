#include "watch/worker.h"

#include <new>

#include "config/settings.h"
#include "diag/trace.h"
#include "host/host_api.h"
#include "imap/session.h"
#include "imap/transport.h"
#include "watch/watcher.h"

namespace {

// The nine settings go from a record into the watcher. Worker only; other
// threads read them under the lock meanwhile.
void TakeSettings(Watcher* watcher, const Settings& settings)
{
    AcquireSRWLockExclusive(&watcher->settingsLock);
    watcher->use = settings.use;
    watcher->server = settings.server;
    watcher->port = settings.port;
    watcher->refreshTime = settings.refreshTime;
    watcher->recvTimeout = settings.recvTimeout;
    watcher->user = settings.user;
    watcher->pass = settings.pass;
    watcher->debug = settings.debug;
    watcher->recvAtConnected = settings.recvAtConnected;
    ReleaseSRWLockExclusive(&watcher->settingsLock);
}

void ApplyNewSettings(Watcher* watcher, Settings* copy)
{
    // Every change reconnects, whichever setting it was.
    CloseConnection(watcher);
    TakeSettings(watcher, *copy);
    watcher->connectNoticePending = 1;
    delete copy;
}

// Serves the thread's queue. With apply false the settings copies are only
// freed: the worker is on its way out.
void ServeMessages(Watcher* watcher, bool apply)
{
    MSG message;
    while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
        if (message.message != WM_WATCHER_SETTINGS || message.wParam == 0)
            continue;
        Settings* copy = reinterpret_cast<Settings*>(message.wParam);
        if (apply)
            ApplyNewSettings(watcher, copy);
        else
            delete copy;
    }
}

bool SameSettings(Watcher* watcher, const Settings& settings)
{
    AcquireSRWLockShared(&watcher->settingsLock);
    bool same = watcher->use == settings.use && watcher->server == settings.server &&
                watcher->port == settings.port && watcher->refreshTime == settings.refreshTime &&
                watcher->recvTimeout == settings.recvTimeout && watcher->debug == settings.debug &&
                watcher->recvAtConnected == settings.recvAtConnected && watcher->user == settings.user &&
                watcher->pass == settings.pass;
    ReleaseSRWLockShared(&watcher->settingsLock);
    return same;
}

} // namespace

Watcher* InitWatcher(Watcher* watcher, HWND window, int serial)
{
    watcher->serial = serial;
    watcher->windows.push_back(window); // no worker yet: no lock needed
    watcher->account = HostGetAccount(window);

    // The worker holds its own reference on this module while it runs, so
    // that the host unloading the plug-in can never free the code it runs.
    HMODULE module = NULL;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCSTR>(&WorkerThreadProc), &module);
    watcher->module = module;
    watcher->threadHandle = CreateThread(NULL, 0, WorkerThreadProc, watcher, 0, &watcher->threadId);
    if (watcher->threadHandle == NULL) {
        // Nothing to wait for when it is released.
        watcher->threadEnded = 1;
        if (module != NULL)
            FreeLibrary(module);
    }
    return watcher;
}

void UpdateSettings(Watcher* watcher)
{
    // A worker that never started has no queue to post to.
    if (watcher->threadHandle == NULL || SameSettings(watcher, CurrentSettings))
        return;
    Settings* copy = new (std::nothrow) Settings(CurrentSettings);
    if (copy == NULL)
        return;
    // A copy that could not be posted is nobody's but ours.
    if (!PostThreadMessageA(watcher->threadId, WM_WATCHER_SETTINGS, reinterpret_cast<WPARAM>(copy), 0))
        delete copy;
}

void ReleaseWatcher(Watcher* watcher)
{
    Trace(watcher, "set Terminate");
    watcher->stopRequested = 1;
    while (watcher->threadEnded == 0)
        Sleep(1);
    if (watcher->threadHandle != NULL) {
        CloseHandle(watcher->threadHandle);
        watcher->threadHandle = NULL;
    }
    // The strings and the window list go with the record.
}

void LoadWatcherSettings(Watcher* watcher)
{
    Settings settings;
    LoadSettings(watcher->account.c_str(), &settings);
    TakeSettings(watcher, settings);
}

void WorkerMain(Watcher* watcher)
{
    // Gives the thread its message queue, so that settings can be posted.
    MSG message;
    PeekMessageA(&message, NULL, WM_USER, WM_USER, PM_NOREMOVE);
    LoadWatcherSettings(watcher);
    while (watcher->stopRequested == 0) {
        try {
            ServeMessages(watcher, true);
            SessionStep(watcher);
        } catch (const std::bad_alloc&) {
            // Out of memory in this pass: the next pass tries again.
        }
        Sleep(1);
    }
    Trace(watcher, "thread end");
    CloseConnection(watcher);
    ServeMessages(watcher, false);
}

DWORD WINAPI WorkerThreadProc(LPVOID parameter)
{
    Watcher* watcher = static_cast<Watcher*>(parameter);
    HMODULE module = watcher->module;
    try {
        WorkerMain(watcher);
        Trace(watcher, "thread terminated");
    } catch (...) {
    }
    // The last touch of the record: the host's thread may free it now.
    watcher->threadEnded = 1;
    if (module != NULL)
        FreeLibraryAndExitThread(module, 0);
    return 0;
}
