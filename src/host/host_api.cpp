#include "host/host_api.h"

const char* const HostFunctionNames[HostFunctionCount] = {
    "_QPARegistCallback@8",      "_QPASetTimer@12",
    "_QPAKillTimer@4",           "_QPAIsBusy@0",
    "_QPAExecQVMail@4",          "_QPAGetMailbox@0",
    "_QPAGetAccount@4",          "_QPAGetFolderName@4",
    "_QPAImportFile@12",         "_QPASaveMail@16",
    "_QPAMoveMail@8",            "_QPAMarkMail@12",
    "_QPADeleteMail@4",          "_QPAFolderGetCurrentFolder@4",
    "_QPAFolderGetCurrentEntry@4", "_QPAFolderGetSelectEntry@8",
    "_QPAFolderChangePassword@8", "_QPAFolderMailTo@8",
    "_QPAFolderReply@8",         "_QPAFolderForward@8",
    "_QPAFolderOpenMail@12",     "_QPASendGetText@8",
    "_QPASendGetHeader@4",       "_QPASendSetText@8",
    "_QPASendSetHeader@8",       "_QPASendGetEditor@4",
    "_QPAViewGetText@4",         "_QPAViewGetHeader@4",
    "_QPAViewSetText@8",         "_QPAViewGetPath@4",
    "_QPAViewGetEditor@4",       "_QPAViewChangeMail@8",
    "_QPASjisToJis@12",          "_QPAJisToSjis@12",
};

HINSTANCE PluginInstance = NULL;
HMODULE HostModule = NULL;
FARPROC HostApi[HostFunctionCount];

bool BindHostApi()
{
    if (HostModule != NULL)
        return true;
    HostModule = GetModuleHandleA(NULL);
    if (HostModule == NULL)
        return false;
    for (int i = 0; i < HostFunctionCount; ++i) {
        HostApi[i] = GetProcAddress(HostModule, HostFunctionNames[i]);
        if (HostApi[i] == NULL) {
            HostModule = NULL;
            return false;
        }
    }
    return true;
}

// The casts below convert the generic FARPROC of a slot back to the
// function's real signature; each slot was filled by name for exactly it.

UINT HostRegistCallback(HostCommandProc callback, int param)
{
    typedef UINT(WINAPI * Fn)(HostCommandProc, int);
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(HostApi[QpaRegistCallback]))(callback, param);
}

int HostSetTimer(int value, HostTimerProc callback, HWND window)
{
    typedef int(WINAPI * Fn)(int, HostTimerProc, HWND);
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(HostApi[QpaSetTimer]))(value, callback, window);
}

int HostIsBusy()
{
    typedef int(WINAPI * Fn)();
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(HostApi[QpaIsBusy]))();
}

const char* HostGetAccount(HWND window)
{
    typedef const char*(WINAPI * Fn)(HWND);
    const char* account = reinterpret_cast<Fn>(reinterpret_cast<void*>(HostApi[QpaGetAccount]))(window);
    return account != NULL ? account : "";
}
