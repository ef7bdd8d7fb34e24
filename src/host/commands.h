// Host commands: the four callbacks registered with the host, the check timer
// that turns a mail-arrived notice into the host's send/receive command, and
// the discovery of that command in the host's menu.
#pragma once

#include <windows.h>

#include <atomic>

#include "watch/notices.h"

// Identifiers the host returned at registration. Written once by
// RegisterHostCommands on the host's thread; the three that workers post are
// the watchers' (watch/notices.h).
extern std::atomic<UINT> DismissReceiveCommand;

// Identifier of the host's "メールの送受信" item; host's thread only.
extern UINT SendReceiveMenuId;

void RegisterHostCommands();
void DiscoverSendReceiveMenu(HMENU menu, int menuId);

int WINAPI OnMailArrived(HWND window, int unused);
int WINAPI OnDismissReceiveDialog(HWND window, int unused);
int WINAPI OnConnectFailed(HWND window, int unused);
int WINAPI OnLoginFailed(HWND window, int unused);
int WINAPI OnCheckTimer(int unused, HWND window);
