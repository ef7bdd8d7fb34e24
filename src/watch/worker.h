// The watcher's worker thread: its start, its loop, the hand-over of new
// settings from the host's thread, and its stop.
#pragma once

#include <windows.h>

#include <string>

struct ConnectFailure;
struct Settings;
struct Watcher;

// Thread message carrying a heap copy of a Settings record in wParam; the
// worker takes ownership of it.
const UINT WM_WATCHER_SETTINGS = WM_USER + 1;

// How long the host's thread waits for a stopping worker before it lets the
// worker free the watcher itself.
const DWORD ReleaseWaitMs = 100;

// Points the watcher's session at the watcher's notices: each goes to the
// front window, and nowhere while there is none. InitWatcher does it.
void SetWatcherNotices(Watcher* watcher);
// The values a watcher works with, whatever the file says: refreshTime 1 to
// 29 minutes, recvTimeout at most 3600 s (a negative one 20 s, 0 no limit),
// a port outside 1 to 65535 the IMAP port 143. The file and the dialog keep
// what the user wrote.
void KeepInRange(Settings* settings);

// Host's thread. May throw std::bad_alloc, and only before the worker
// starts: a watcher it threw for has no thread and may simply be freed.
Watcher* InitWatcher(Watcher* watcher, HWND window, const std::string& account, int serial);
// Posts a copy of `settings` to the worker when any of the settings
// differs from what it runs with.
void UpdateSettings(Watcher* watcher, const Settings& settings);
// Asks the worker to stop and waits for it at most ReleaseWaitMs. True when
// the worker has ended and the caller frees the record; false when the
// worker frees it itself once it ends, and the caller must let go of it.
bool ReleaseWatcher(Watcher* watcher);
// Whether the watcher traces, read safely from the host's thread.
bool WatcherTraceEnabled(Watcher* watcher);
// Trace from the host's thread.
void TraceWatcher(Watcher* watcher, const char* format, ...);

// Worker thread.
DWORD WINAPI WorkerThreadProc(LPVOID parameter);
void WorkerMain(Watcher* watcher);
void LoadWatcherSettings(Watcher* watcher);
