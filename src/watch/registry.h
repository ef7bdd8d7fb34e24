// The watcher registry: which watcher serves which host folder window.
// Every operation runs on the host's user-interface thread.
#pragma once

#include <windows.h>

#include <string>

struct ConnectFailure;
struct Watcher;
struct WatcherStatus;

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

// Host's thread: the failure that the window's watcher last posted a
// connect-failed notice for, and the account folder whose file it reads.
// False when the window has no watcher. May throw std::bad_alloc.
bool LastConnectFailure(HWND window, ConnectFailure* failure, std::string* account);
// Host's thread: the send/receive command that the window's mail notice
// asked for has been posted; the next new mail needs a notice again.
void MailNoticeServed(HWND window);
// Host's thread: what the window's watcher is doing. False when the window
// has no watcher.
bool WindowWatcherStatus(HWND window, WatcherStatus* status);
// Host's thread: the window's watcher posts `message` to `notify` at each
// new status from now on (one window per watcher: the last one asked). False
// when the window has no watcher.
bool NoticeStatusTo(HWND window, HWND notify, UINT message);
// Host's thread: `notify` is told no more by any watcher.
void EndStatusNotice(HWND notify);
