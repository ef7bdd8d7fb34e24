// A host that lacks one of the plug-in functions: its only job is to try
// loading the plug-in. The exit code is 0 when the load was refused, 1 when
// the plug-in loaded anyway.
#include <windows.h>

#include <stdio.h>

int main(int argc, char** argv)
{
    const char* plugin = argc > 1 ? argv[1] : "qvpush.dll";
    HMODULE module = LoadLibraryA(plugin);
    if (module == NULL)
        return 0;
    FreeLibrary(module);
    return 1;
}
