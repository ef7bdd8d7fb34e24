// One watcher's IMAP session driven the way its worker thread drives it:
// SessionStep and a 1 ms sleep in a loop on a thread of its own, then the
// final close. Notices go to a real window whose WM_COMMANDs, like the
// plug-in's trace, land in the stand-in host's log:
//   "notice mail", "notice connect-failed", "notice login-failed".
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "watch/watcher.h"

class SessionHarness {
public:
    SessionHarness();
    ~SessionHarness();

    // Set up before Start(); the worker's own fields after that.
    Watcher watcher;

    void Start();
    // Raises stopRequested and waits until the loop has ended and closed.
    void Stop();

    long steps() const { return steps_; }
    // Waits until the loop has made `count` more steps (each sleeps at least
    // 1 ms): proof that time passed in the session without a fixed sleep.
    bool WaitSteps(long count, DWORD timeoutMs = 60000) const;

    // The log position when the harness was made, and waits from there.
    size_t mark;
    long WaitFor(const std::string& text, DWORD timeoutMs = 10000) const;
    int Count(const std::string& text) const;

    HWND noticeWindow() const { return noticeWindow_; }

private:
    static DWORD WINAPI Loop(LPVOID parameter);
    static DWORD WINAPI WindowThread(LPVOID parameter);
    HANDLE ready_ = NULL;
    HANDLE thread_ = NULL;
    HANDLE windowThread_ = NULL;
    DWORD windowThreadId_ = 0;
    HWND noticeWindow_ = NULL;
    std::atomic<long> steps_{0};
};

// The command identifiers the harness registers in place of a host.
const UINT MailNotice = 9001;
const UINT ConnectFailedNotice = 9003;
const UINT LoginFailedNotice = 9004;
