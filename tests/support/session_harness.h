// One account's IMAP session driven the way a watcher's worker thread drives
// it: SessionStep in a loop on a thread of its own, waiting as long as the
// step asks (or until the stop), then the final close. Notices go to a real
// window whose WM_COMMANDs, like the plug-in's trace, land in the stand-in
// host's log: "notice mail", "notice connect-failed", "notice login-failed".
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "watch/session.h"
#include "watch/step.h"

class SessionHarness {
public:
    SessionHarness();
    ~SessionHarness();

    // Set up before Start(); the worker's own fields after that.
    Session session;

    void Start();
    // Raises stopRequested and waits until the loop has ended and closed.
    void Stop();

    long steps() const { return steps_; }

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

// Copies text into a settings field, cut to its size.
template <size_t N> void SetText(char (&field)[N], const std::string& text)
{
    size_t length = text.size() < N - 1 ? text.size() : N - 1;
    text.copy(field, length);
    field[length] = '\0';
}

// The command identifiers the harness posts to its window.
const UINT MailNotice = 9001;
const UINT ConnectFailedNotice = 9003;
const UINT LoginFailedNotice = 9004;
