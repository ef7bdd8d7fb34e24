// The watcher registry: which watcher serves which host folder window.
// Every operation runs on the host's user-interface thread.
#pragma once

#include <windows.h>

#include <string>

struct Watcher;

// `account` is the host's account folder for the window.
int AttachWindow(HWND window, const std::string& account);
int DetachWindow(Watcher* watcher, HWND window);
Watcher* FindWatcherByWindow(HWND window);
Watcher* FindWatcherByAccount(const std::string& account);
void CreateWatcher(HWND window, const std::string& account);
void DestroyWatcher(Watcher* watcher);

// What QPCFolderClose does: detach the window, and destroy its watcher when
// no window remains.
void CloseWindowSequence(HWND window);
