// The record of one watched mail account, shared by the registry, the worker
// thread and the account's IMAP session.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "diag/handles.h"
#include "watch/session.h"

// Who writes each field is noted beside it. "host" is the host's
// user-interface thread, "worker" the watcher's own thread, "once" means
// written by InitWatcher before the worker starts and never again.
struct Watcher {
    // Folder windows in order of attachment; the front one gets the notices.
    // host, under windowsLock; the worker reads the front entry under it.
    std::vector<HWND> windows;
    SRWLOCK windowsLock = SRWLOCK_INIT;

    std::string account;   // once: registry key, the host's account folder
    UniqueHandle thread;   // once
    DWORD threadId = 0;    // once
    // Set by the worker once its thread has a message queue: before that, a
    // posted message would be refused and the settings in it lost.
    UniqueHandle queueReady; // once (the worker sets it)
    int serial = 0;        // once: printed in every trace line
    HMODULE module = NULL; // once: the worker's reference on the plug-in, given back as it exits

    // Who frees the record once the worker has been asked to stop: the host
    // when the worker ended within the host's wait, else the worker itself
    // as the last thing it does. Both sides swap in their mark; the second
    // to arrive frees it.
    std::atomic<int> releaseMark{0};

    // When the mail-arrived notice still outstanding was posted (GetTickCount,
    // never 0), or 0 when none is. Set by the worker as it posts, cleared by
    // the host's thread once the send/receive it asked for has been posted or
    // the window has gone. While it is set, new mail needs no notice of its
    // own: the send/receive still to come fetches it too.
    std::atomic<DWORD> mailNoticeAt{0};

    // Why the last connect-failed notice was posted: the worker replaces it
    // just before it posts one, the host's thread copies it as it shows the
    // box. Under failureLock, held only for the copy.
    ConnectFailure lastFailure;
    SRWLOCK failureLock = SRWLOCK_INIT;

    // The IMAP session: stop request and event, the nine settings under
    // session.settingsLock, and the connection.
    Session session;
};
