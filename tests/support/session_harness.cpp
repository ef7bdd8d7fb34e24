#include "support/session_harness.h"

#include "watch/link_checks.h"

#include <string.h>


#include "standin/host.h"

namespace {

const char* NoticeName(WPARAM command)
{
    return command == MailNotice            ? "mail"
           : command == ConnectFailedNotice ? "connect-failed"
           : command == LoginFailedNotice   ? "login-failed"
                                            : "unknown";
}

LRESULT CALLBACK NoticeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COMMAND) {
        standin::Log("notice %s (lParam %ld)", NoticeName(wParam), static_cast<long>(lParam));
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// The session's notices, posted to the harness's window as a watcher posts
// them to its front window.
// Each post is logged as it happens ("post mail" ...), and again by the
// window when it handles it ("notice mail" ...). A connect failure's reason
// goes as the lParam ("notice connect-failed (lParam 6)").
void PostNotice(void* owner, UINT command, LPARAM detail = 0)
{
    standin::Log("post %s", NoticeName(command));
    PostMessageA(static_cast<HWND>(owner), WM_COMMAND, command, detail);
}
void PostMail(void* owner)
{
    PostNotice(owner, MailNotice);
}
void PostConnectFailed(void* owner, const ConnectFailure& failure)
{
    PostNotice(owner, ConnectFailedNotice, failure.reason);
}
void PostLoginFailed(void* owner)
{
    PostNotice(owner, LoginFailedNotice);
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

    ready_ = CreateEventA(NULL, TRUE, FALSE, NULL);
    windowThread_ = CreateThread(NULL, 0, WindowThread, this, 0, &windowThreadId_);
    WaitForSingleObject(ready_, INFINITE);

    InitSession(&session);
    session.serial = 1;
    session.events.owner = noticeWindow_;
    session.events.mailArrived = PostMail;
    session.events.connectFailed = PostConnectFailed;
    session.events.loginFailed = PostLoginFailed;
    session.settings.debug = 1;
    session.settings.use = 1;
    strcpy(session.settings.server, "127.0.0.1");
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
    Session* session = &harness->session;
    while (!StopRequested(session)) {
        DWORD wait = SessionStep(session);
        ++harness->steps_;
        if (wait != 0)
            WaitForSingleObject(session->stopEvent.Get(), wait);
    }
    EndSession(session);
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
    RequestStop(&session);
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    thread_ = NULL;
}

long SessionHarness::WaitFor(const std::string& text, DWORD timeoutMs) const
{
    return standin::WaitForLog(text, timeoutMs, mark);
}

int SessionHarness::Count(const std::string& text) const
{
    return standin::CountLog(text, mark);
}
