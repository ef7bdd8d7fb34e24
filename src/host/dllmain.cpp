// Entry point of qvpush.dll. Everything it does lives in plugin.cpp, so that
// tests can link the same code into their own executables.
#include <windows.h>

#include "host/plugin.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        return AttachPlugin(instance);
    case DLL_PROCESS_DETACH:
        DetachPlugin();
        break;
    }
    return TRUE;
}
