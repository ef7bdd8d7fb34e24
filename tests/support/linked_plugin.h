// The plug-in's code linked into a test program: the stand-in host calls its
// entry points as it would a loaded module's, and the test can reach the
// registry and the watchers directly on the host's thread.
#pragma once

#include <windows.h>

#include <string.h>

#include "host/plugin.h"
#include "standin/host.h"

namespace linked_plugin {

inline FARPROC Entry(const char* name)
{
    static const struct {
        const char* name;
        FARPROC entry;
    } entries[] = {
#define ENTRY(name) {#name, reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&name))}
        ENTRY(QPCGetPlugName),  ENTRY(QPCVersionInfo),       ENTRY(QPCStartUp),
        ENTRY(QPCCleanUp),      ENTRY(QPCSetup),             ENTRY(QPCFolderInitMenu),
        ENTRY(QPCFolderCreate), ENTRY(QPCFolderLoad),        ENTRY(QPCFolderClose),
        ENTRY(QPCFolderEndRetrieve), ENTRY(QPCFolderPreOpenView),
#undef ENTRY
    };
    for (const auto& entry : entries)
        if (strcmp(entry.name, name) == 0)
            return entry.entry;
    return NULL;
}

// Options for standin::Start that run the linked code in place of qvpush.dll.
inline void Use(standin::Options* options)
{
    options->pluginPath.clear();
    options->linkedEntry = Entry;
    options->attachLinked = [] { AttachPlugin(GetModuleHandleA(NULL)); };
}

} // namespace linked_plugin
