// The watcher's worker thread: its start, its loop, the hand-over of new
// settings from the host's thread, and its stop.
#pragma once

#include <windows.h>

struct Watcher;

// Thread message carrying a heap copy of a Settings record in wParam; the
// worker takes ownership of it.
const UINT WM_WATCHER_SETTINGS = WM_USER + 1;

// Host's thread.
Watcher* InitWatcher(Watcher* watcher, HWND window, int serial);
void UpdateSettings(Watcher* watcher);
void ReleaseWatcher(Watcher* watcher);

// Worker thread.
DWORD WINAPI WorkerThreadProc(LPVOID parameter);
void WorkerMain(Watcher* watcher);
void LoadWatcherSettings(Watcher* watcher);
