#include "watch/worker.h"

#include <stdarg.h>
#include <string.h>

#include <memory>
#include <new>
#include <utility>

#include "config/settings.h"
#include "diag/trace.h"
#include "watch/notices.h"
#include "watch/session.h"
#include "watch/step.h"
#include "watch/watcher.h"

std::atomic<UINT> MailArrivedCommand{0};
std::atomic<UINT> ConnectFailedCommand{0};
std::atomic<UINT> LoginFailedCommand{0};

namespace {

// The worker's stack holds the IMAP dialogue and the system's socket calls;
// a reservation this size keeps an idle watcher's memory small.
const SIZE_T WorkerStackReserve = 256 * 1024;

// How long UpdateSettings waits for a worker that has only just started to
// make its message queue.
const DWORD QueueReadyWaitMs = 100;

// Marks of releaseMark.
// A mail-arrived notice outstanding for longer than this no longer holds
// back the next one: a timer the host lost must not leave the watcher deaf.
const DWORD MailNoticeHoldMs = 60000;

const int HostLetGo = 1;
const int WorkerDone = 2;

HWND FrontWindow(Watcher* watcher)
{
    SharedLock hold(watcher->windowsLock);
    return watcher->windows.empty() ? NULL : watcher->windows.front();
}

// The session's notices, on the worker thread: each goes to the front window,
// and nowhere when the watcher has no window.

void PostMailArrived(void* owner)
{
    Watcher* watcher = static_cast<Watcher*>(owner);
    HWND window = FrontWindow(watcher);
    if (window == NULL)
        return;
    if (TraceEnabled(&watcher->session)) {
        SYSTEMTIME now;
        GetLocalTime(&now);
        Trace(&watcher->session, "%02d:%02d:%02d.%03d Received MAIL", now.wHour, now.wMinute, now.wSecond,
              now.wMilliseconds);
    }
    DWORD now = GetTickCount() | 1;
    DWORD postedAt = watcher->mailNoticeAt.load();
    if (postedAt != 0 && now - postedAt < MailNoticeHoldMs)
        return;
    watcher->mailNoticeAt.store(now);
    if (!PostMessageA(window, WM_COMMAND, MailArrivedCommand, 0))
        watcher->mailNoticeAt.store(0);
}

void ClearMailNotice(void* owner)
{
    static_cast<Watcher*>(owner)->mailNoticeAt.store(0);
}

void PostConnectFailed(void* owner, const ConnectFailure& failure)
{
    Watcher* watcher = static_cast<Watcher*>(owner);
    HWND window = FrontWindow(watcher);
    if (window == NULL)
        return;
    Trace(&watcher->session, "Connect failed");
    // The box reads the reason from the record when it shows. The copy is
    // made outside the lock and swapped in, so that the host's thread never
    // waits for an allocation here; the old text goes after the lock.
    ConnectFailure copy = failure;
    {
        ExclusiveLock hold(watcher->failureLock);
        std::swap(watcher->lastFailure, copy);
    }
    PostMessageA(window, WM_COMMAND, ConnectFailedCommand, 0);
}

void PostLoginFailed(void* owner)
{
    Watcher* watcher = static_cast<Watcher*>(owner);
    HWND window = FrontWindow(watcher);
    if (window == NULL)
        return;
    Trace(&watcher->session, "Login failed");
    PostMessageA(window, WM_COMMAND, LoginFailedCommand, 0);
}

// The trace's copy in the account's folder, beside its settings file.
const char TraceFileName[] = "qvpush.log";

// Worker thread, whenever the settings it runs with were replaced: opens or
// closes the trace file as logFile now says.
void FollowLogFileKey(Watcher* watcher)
{
    if (watcher->session.settings.logFile != 0)
        watcher->session.traceFile.Open(watcher->account + TraceFileName);
    else
        watcher->session.traceFile.Close();
}

// Before each connection attempt: the keys that only the file sets, read
// afresh, so that a value pasted into the file is used without reopening the
// window. The keys the dialog shows keep coming through the hand-over only.
void TakeFileOnlyKeys(void* owner)
{
    Watcher* watcher = static_cast<Watcher*>(owner);
    Settings file;
    LoadSettings(watcher->account.c_str(), &file);
    // The worker is the only writer: its own read needs no lock.
    Settings working = watcher->session.settings;
    CopyFileOnlyKeys(file, &working);
    // In range like every value the worker runs with, or the hand-over of
    // the same file would see a difference and reconnect for nothing.
    KeepInRange(&working);
    {
        ExclusiveLock hold(watcher->session.settingsLock);
        watcher->session.settings = working;
    }
    FollowLogFileKey(watcher);
}

void ApplyNewSettings(Watcher* watcher, const Settings& copy)
{
    Settings working = copy;
    KeepInRange(&working);
    TakeNewSettings(&watcher->session, working);
    FollowLogFileKey(watcher);
}

// Serves the thread's queue. With apply false the settings copies are only
// freed: the worker is on its way out.
void ServeMessages(Watcher* watcher, bool apply)
{
    MSG message;
    while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
        if (message.message != WM_WATCHER_SETTINGS || message.wParam == 0)
            continue;
        std::unique_ptr<Settings> copy(reinterpret_cast<Settings*>(message.wParam));
        if (apply)
            ApplyNewSettings(watcher, *copy);
    }
}

bool SameSettings(Watcher* watcher, const Settings& given)
{
    // The watcher runs with the values in range: compare like with like.
    Settings settings = given;
    KeepInRange(&settings);
    SharedLock hold(watcher->session.settingsLock);
    const Settings& running = watcher->session.settings;
    return running.use == settings.use && strcmp(running.server, settings.server) == 0 &&
           running.port == settings.port && running.refreshTime == settings.refreshTime &&
           running.recvTimeout == settings.recvTimeout && running.debug == settings.debug &&
           running.recvAtConnected == settings.recvAtConnected && running.tls == settings.tls &&
           running.keepAlive == settings.keepAlive && strcmp(running.user, settings.user) == 0 &&
           strcmp(running.pass, settings.pass) == 0 && running.passState == settings.passState &&
           strcmp(running.tlsFingerprint, settings.tlsFingerprint) == 0 && running.logFile == settings.logFile;
}

} // namespace

void KeepInRange(Settings* settings)
{
    // IDLE is renewed at least once a minute and within the 29 minutes
    // servers allow it (RFC 2177); they drop the connection at 30.
    if (settings->refreshTime < 1)
        settings->refreshTime = 1;
    else if (settings->refreshTime > 29)
        settings->refreshTime = 29;
    // 0 is no limit; a negative time would wrap around to weeks.
    if (settings->recvTimeout < 0)
        settings->recvTimeout = 20;
    else if (settings->recvTimeout > 3600)
        settings->recvTimeout = 3600;
    if (settings->port < 1 || settings->port > 65535)
        settings->port = settings->tls == 1 ? 993 : 143;
    // 0 is off; the system takes no idle time beyond two hours kindly.
    if (settings->keepAlive < 0)
        settings->keepAlive = 60;
    else if (settings->keepAlive > 7200)
        settings->keepAlive = 7200;
}

void SetWatcherNotices(Watcher* watcher)
{
    watcher->session.events.owner = watcher;
    watcher->session.events.mailArrived = PostMailArrived;
    watcher->session.events.connectFailed = PostConnectFailed;
    watcher->session.events.loginFailed = PostLoginFailed;
    watcher->session.events.idleReached = ClearMailNotice;
    watcher->session.events.beforeAttempt = TakeFileOnlyKeys;
}

Watcher* InitWatcher(Watcher* watcher, HWND window, const std::string& account, int serial)
{
    watcher->serial = serial;
    watcher->session.serial = serial;
    // What may throw comes first: once the worker runs, nothing here may fail
    // by an exception.
    watcher->windows.push_back(window); // no worker yet: no lock needed
    watcher->account = account;
    watcher->session.checkKey = account;
    SetWatcherNotices(watcher);
    if (!InitSession(&watcher->session))
        return watcher; // no stop event, no worker: nothing to wait for

    watcher->queueReady.Attach(CreateEventA(NULL, TRUE, FALSE, NULL));
    if (!watcher->queueReady.Valid())
        return watcher; // without it, no settings could reach the worker safely

    // The worker holds its own reference on this module while it runs, so
    // that the host unloading the plug-in can never free the code it runs.
    ModuleReference module = ReferenceModuleOf(reinterpret_cast<const void*>(&WorkerThreadProc));
    watcher->module = module.Get();
    watcher->thread.Attach(CreateThread(NULL, WorkerStackReserve, WorkerThreadProc, watcher,
                                        STACK_SIZE_PARAM_IS_A_RESERVATION, &watcher->threadId));
    if (watcher->thread.Valid())
        module.Detach(); // the worker gives it back as it exits
    else
        watcher->module = NULL;
    return watcher;
}

void UpdateSettings(Watcher* watcher, const Settings& settings)
{
    // A worker that never started has no queue to post to.
    if (!watcher->thread.Valid() || SameSettings(watcher, settings))
        return;
    std::unique_ptr<Settings> copy(new (std::nothrow) Settings(settings));
    if (!copy)
        return;
    // A worker that has only just started may not have its queue yet; it
    // makes it first thing, so this waits a moment at most.
    WaitForSingleObject(watcher->queueReady.Get(), QueueReadyWaitMs);
    // A copy that could not be posted stays ours, and goes.
    if (PostThreadMessageA(watcher->threadId, WM_WATCHER_SETTINGS, reinterpret_cast<WPARAM>(copy.get()), 0))
        copy.release();
}

bool ReleaseWatcher(Watcher* watcher)
{
    TraceWatcher(watcher, "set Terminate");
    RequestStop(&watcher->session);
    if (!watcher->thread.Valid())
        return true;
    // The thread handle is signalled when the worker has ended for whatever
    // reason, killed at process exit included.
    if (WaitForSingleObject(watcher->thread.Get(), ReleaseWaitMs) == WAIT_OBJECT_0) {
        watcher->thread.Close();
        return true;
    }
    // Still running: the worker frees the record when it ends, unless it
    // has reached its end in the meantime.
    HANDLE thread = watcher->thread.Detach();
    bool workerDone = watcher->releaseMark.exchange(HostLetGo) == WorkerDone;
    CloseHandle(thread);
    return workerDone;
}

namespace {

bool DebugOn(Watcher* watcher)
{
    // debug is one of the settings the worker may be replacing right now.
    SharedLock hold(watcher->session.settingsLock);
    return watcher->session.settings.debug != 0;
}

} // namespace

bool WatcherTraceEnabled(Watcher* watcher)
{
    return DebugOn(watcher) || watcher->session.traceFile.IsOpen();
}

void TraceWatcher(Watcher* watcher, const char* format, ...)
{
    bool debugger = DebugOn(watcher);
    if (!debugger && !watcher->session.traceFile.IsOpen())
        return;
    va_list arguments;
    va_start(arguments, format);
    // Out of memory the line is lost, and nothing else: the host's thread
    // traces in the middle of detaching a window and stopping a worker,
    // which must run to their end.
    try {
        TraceLineV(watcher->serial, debugger, &watcher->session.traceFile, format, arguments);
    } catch (...) {
    }
    va_end(arguments);
}

void LoadWatcherSettings(Watcher* watcher)
{
    Settings settings;
    LoadSettings(watcher->account.c_str(), &settings);
    KeepInRange(&settings);
    TakeFirstSettings(&watcher->session, settings);
    FollowLogFileKey(watcher);
}

// Wine hands every thread about a megabyte of stack, zero-filled and so
// resident before the thread runs, whatever size it asked for; fifty
// watchers would hold fifty megabytes for nothing. The part below what this
// worker will reach is handed back: its contents are of no interest, and a
// page touched later is simply given again. Under Windows the stack below
// the frame is hardly committed yet, and this releases next to nothing.
namespace {

void ReleaseUntouchedStack()
{
    const UINT_PTR Headroom = 32 * 1024; // below the current frame, kept as it is
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const UINT_PTR page = system.dwPageSize;
    volatile char here = 0;
    MEMORY_BASIC_INFORMATION region;
    if (VirtualQuery(const_cast<char*>(&here), &region, sizeof region) != sizeof region)
        return;
    UINT_PTR frame = reinterpret_cast<UINT_PTR>(&here);
    if (frame < Headroom)
        return;
    UINT_PTR limit = (frame - Headroom) & ~(page - 1);
    // From the bottom of the stack's reservation up to the limit, every
    // committed page that is no guard page.
    UINT_PTR address = reinterpret_cast<UINT_PTR>(region.AllocationBase);
    while (address < limit) {
        if (VirtualQuery(reinterpret_cast<void*>(address), &region, sizeof region) != sizeof region)
            return;
        UINT_PTR end = reinterpret_cast<UINT_PTR>(region.BaseAddress) + region.RegionSize;
        if (end > limit)
            end = limit;
        if (region.State == MEM_COMMIT && (region.Protect & PAGE_GUARD) == 0 &&
            (region.Protect & PAGE_READWRITE) != 0 && end > address)
            VirtualAlloc(reinterpret_cast<void*>(address), end - address, MEM_RESET, PAGE_READWRITE);
        if (end <= address)
            return;
        address = end;
    }
}

// A pass that ended by an exception: the dialogue cannot go on from where it
// broke off (it could send LOGIN on a connection whose certificate was never
// judged, or a second time on a logged-in one). The connection closes, the
// attempt counts as failed, and the next pass waits out the pause before a
// new attempt. Never throws.
void AbandonPass(Session* session, const char* what)
{
    try {
        Trace(session, "step failed(%s)", what);
    } catch (...) {
    }
    AbandonAttempt(session);
}

} // namespace

void WorkerMain(Watcher* watcher)
{
    ReleaseUntouchedStack();
    Session* session = &watcher->session;
    // Gives the thread its message queue, so that settings can be posted.
    MSG message;
    PeekMessageA(&message, NULL, WM_USER, WM_USER, PM_NOREMOVE);
    SetEvent(watcher->queueReady.Get());
    // Settings that could not be read (out of memory) are read again at the
    // next pass: until then the session is off.
    bool settingsLoaded = false;
    try {
        LoadWatcherSettings(watcher);
        settingsLoaded = true;
    } catch (...) {
    }
    HANDLE stopEvent = session->stopEvent.Get();
    while (!StopRequested(session)) {
        DWORD wait = 0;
        const char* failed = NULL;
        try {
            if (!settingsLoaded) {
                LoadWatcherSettings(watcher);
                settingsLoaded = true;
            }
            ServeMessages(watcher, true);
            wait = SessionStep(session);
        } catch (const std::bad_alloc&) {
            failed = "out of memory";
        } catch (...) {
            failed = "exception";
        }
        if (failed != NULL) {
            AbandonPass(session, failed);
            continue; // the next step answers how long the pause still lasts
        }
        // Sleeps until a message or the stop, or until the session's next
        // deadline; an idling session waits inside its step instead.
        if (wait != 0)
            MsgWaitForMultipleObjectsEx(1, &stopEvent, wait, QS_ALLPOSTMESSAGE, MWMO_INPUTAVAILABLE);
    }
    try {
        Trace(session, "thread end");
    } catch (...) {
    }
    EndSession(session);
    ServeMessages(watcher, false);
}

DWORD WINAPI WorkerThreadProc(LPVOID parameter)
{
    Watcher* watcher = static_cast<Watcher*>(parameter);
    HMODULE module = watcher->module;
    try {
        WorkerMain(watcher);
        Trace(&watcher->session, "thread terminated");
    } catch (...) {
    }
    // The last touch of the record. When the host stopped waiting for this
    // worker, the record is the worker's to free.
    if (watcher->releaseMark.exchange(WorkerDone) == HostLetGo)
        delete watcher;
    if (module != NULL)
        FreeLibraryAndExitThread(module, 0);
    return 0;
}
