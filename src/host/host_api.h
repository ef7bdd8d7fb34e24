// The host's plug-in functions, found by name in the host's executable.
#pragma once

#include <windows.h>

// A command callback: the folder window that received the registered
// WM_COMMAND, and a value the plug-in does not use.
typedef int(WINAPI* HostCommandProc)(HWND window, int unused);

// A timer callback armed with _QPASetTimer@12: a value the plug-in does not
// use, then the folder window. Returns 1 while it did nothing, 0 once it has
// posted the send/receive command.
typedef int(WINAPI* HostTimerProc)(int unused, HWND window);

// Slots of HostApi, in binding order (HostFunctionNames). Only the four
// functions the plug-in calls are named; the other 30 need only exist.
enum HostFunction {
    QpaRegistCallback = 0,
    QpaSetTimer = 1,
    QpaIsBusy = 3,
    QpaGetAccount = 6,
    HostFunctionCount = 34
};

extern const char* const HostFunctionNames[HostFunctionCount];

// Module handle of the host's executable; non-null exactly while bound.
extern HMODULE HostModule;
extern FARPROC HostApi[HostFunctionCount];

// Binds all host functions in order; false (and unbound) at the first one
// the host lacks.
bool BindHostApi();

// Typed calls of the four host functions the plug-in uses.
UINT HostRegistCallback(HostCommandProc callback, int param);
int HostSetTimer(int value, HostTimerProc callback, HWND window);
int HostIsBusy();
// Never null: a host that answers null for a window gets "" instead.
const char* HostGetAccount(HWND window);

// The plug-in module's own instance, as the host loaded it; the setup
// dialog is loaded from it.
extern HINSTANCE PluginInstance;
