#include "support/session_harness.h"

#include "host/commands.h"
#include "imap/session.h"
#include "imap/transport.h"
#include "standin/host.h"

namespace {

LRESULT CALLBACK NoticeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COMMAND) {
        const char* name = wParam == MailNotice            ? "mail"
                           : wParam == ConnectFailedNotice ? "connect-failed"
                           : wParam == LoginFailedNotice   ? "login-failed"
                                                           : "unknown";
        standin::Log("notice %s (lParam %ld)", name, static_cast<long>(lParam));
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

} // namespace

DWORD WINAPI SessionHarness::WindowThread(LPVOID parameter)
{
    SessionHarness* harness = static_cast<SessionHarness*>(parameter);
    WNDCLASSA windowClass;
    ZeroMemory(&windowClass, sizeof windowClass);
    windowClass.lpfnWndProc = NoticeProc;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.lpszClassName = "SessionHarnessNotices";
    RegisterClassA(&windowClass);
    harness->noticeWindow_ = CreateWindowA("SessionHarnessNotices", "notices", WS_OVERLAPPED, 0, 0, 10, 10,
                                           NULL, NULL, GetModuleHandleA(NULL), NULL);
    MSG message;
    PeekMessageA(&message, NULL, 0, 0, PM_NOREMOVE);
    SetEvent(harness->ready_);
    while (GetMessageA(&message, NULL, 0, 0) > 0)
        DispatchMessageA(&message);
    DestroyWindow(harness->noticeWindow_);
    return 0;
}

SessionHarness::SessionHarness()
{
    standin::CaptureTrace();
    mark = standin::LogSize();
    MailArrivedCommand = MailNotice;
    ConnectFailedCommand = ConnectFailedNotice;
    LoginFailedCommand = LoginFailedNotice;

    ready_ = CreateEventA(NULL, TRUE, FALSE, NULL);
    windowThread_ = CreateThread(NULL, 0, WindowThread, this, 0, &windowThreadId_);
    WaitForSingleObject(ready_, INFINITE);

    watcher.serial = 1;
    watcher.debug = 1;
    watcher.use = 1;
    watcher.server = "127.0.0.1";
    watcher.windows.push_back(noticeWindow_);
}

SessionHarness::~SessionHarness()
{
    Stop();
    PostThreadMessageA(windowThreadId_, WM_QUIT, 0, 0);
    WaitForSingleObject(windowThread_, INFINITE);
    CloseHandle(windowThread_);
    CloseHandle(ready_);
}

DWORD WINAPI SessionHarness::Loop(LPVOID parameter)
{
    SessionHarness* harness = static_cast<SessionHarness*>(parameter);
    Watcher* watcher = &harness->watcher;
    while (watcher->stopRequested == 0) {
        SessionStep(watcher);
        ++harness->steps_;
        Sleep(1);
    }
    CloseConnection(watcher);
    return 0;
}

void SessionHarness::Start()
{
    thread_ = CreateThread(NULL, 0, Loop, this, 0, NULL);
}

void SessionHarness::Stop()
{
    if (thread_ == NULL)
        return;
    watcher.stopRequested = 1;
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    thread_ = NULL;
}

bool SessionHarness::WaitSteps(long count, DWORD timeoutMs) const
{
    long target = steps_ + count;
    DWORD start = GetTickCount();
    while (steps_ < target) {
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(5);
    }
    return true;
}

long SessionHarness::WaitFor(const std::string& text, DWORD timeoutMs) const
{
    return standin::WaitForLog(text, timeoutMs, mark);
}

int SessionHarness::Count(const std::string& text) const
{
    return standin::CountLog(text, mark);
}
