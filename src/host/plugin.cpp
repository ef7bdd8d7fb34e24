#include "host/plugin.h"

#include <stdio.h>

#include "config/user_texts.h"
#include "host/settings_flow.h"
#include "host/commands.h"
#include "host/host_api.h"
#include "watch/registry.h"

const char PluginName[] = "QV-PUSH Version 0.07";

BOOL AttachPlugin(HINSTANCE instance)
{
    PluginInstance = instance;
    if (BindHostApi())
        return TRUE;
    char text[256];
    wsprintfA(text, TextLoadFailureFormat, PluginName);
    MessageBoxA(NULL, text, TextLoadFailureCaption, MB_ICONERROR);
    return FALSE;
}

void DetachPlugin()
{
    // Only the binding is forgotten; watchers still registered keep their
    // threads, which hold their own reference on the module.
    HostModule = NULL;
}

// Nothing may unwind into the host: an allocation failure inside an entry
// point ends that call with result 0 and leaves the plug-in running.

const char* WINAPI QPCGetPlugName(void)
{
    return PluginName;
}

void WINAPI QPCVersionInfo(DWORD)
{
}

int WINAPI QPCStartUp(DWORD)
{
    RegisterHostCommands();
    return 1;
}

void WINAPI QPCCleanUp(void)
{
}

int WINAPI QPCSetup(HWND window)
{
    return RunSettingsFlow(window);
}

void WINAPI QPCFolderInitMenu(DWORD, HMENU menu, int menuId)
{
    DiscoverSendReceiveMenu(menu, menuId);
}

int WINAPI QPCFolderCreate(HWND window)
{
    try {
        return AttachWindow(window, HostGetAccount(window));
    } catch (...) {
        return 0;
    }
}

int WINAPI QPCFolderLoad(HWND window, DWORD)
{
    return QPCFolderCreate(window);
}

int WINAPI QPCFolderClose(HWND window)
{
    try {
        // The host is asked for the account as it always was; the answer is
        // not needed, since the window's watcher is found by the window
        // itself.
        HostGetAccount(window);
        CloseWindowSequence(window);
    } catch (...) {
    }
    return 0;
}

BOOL WINAPI QPCFolderEndRetrieve(HWND window)
{
    return PostMessageA(window, WM_COMMAND, DismissReceiveCommand, 0);
}

int WINAPI QPCFolderPreOpenView(DWORD, DWORD)
{
    return 1;
}
