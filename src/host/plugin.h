// The plug-in's exported entry points. The host calls all of them on its
// user-interface thread.
#pragma once

#include <windows.h>

extern "C" {
const char* WINAPI QPCGetPlugName(void);
void WINAPI QPCVersionInfo(DWORD unused);
int WINAPI QPCStartUp(DWORD unused);
void WINAPI QPCCleanUp(void);
int WINAPI QPCSetup(HWND window);
void WINAPI QPCFolderInitMenu(DWORD unused, HMENU menu, int menuId);
int WINAPI QPCFolderCreate(HWND window);
int WINAPI QPCFolderLoad(HWND window, DWORD unused);
int WINAPI QPCFolderClose(HWND window);
BOOL WINAPI QPCFolderEndRetrieve(HWND window);
int WINAPI QPCFolderPreOpenView(DWORD unused1, DWORD unused2);
}

// "QV-PUSH Version 0.07": names the plug-in to the host.
extern const char PluginName[];

// Process attach and detach of the module, as DllMain runs them.
BOOL AttachPlugin(HINSTANCE instance);
void DetachPlugin();
