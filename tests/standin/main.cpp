// The stand-in host as a program of its own: loads the plug-in, opens folder
// windows and logs what happens until enough receive dialogs were dismissed.
//
//   standin_host.exe [--plugin PATH] [--account DIR\] [--windows N]
//                    [--retrieval-ms N] [--post-mail-arrived]
//                    [--until-dismissed N] [--timeout-s N] [--setup]
//
// --post-mail-arrived posts the plug-in's mail-arrived command to the first
// window once, exactly as a watcher does when its server reports new mail.
// --setup runs QPCSetup on the first window and waits until its dialog is
// closed; at the time-out the dialog is closed from its caption.
// The exit code is 0 when the awaited dismissals happened in time.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "standin/host.h"

int main(int argc, char** argv)
{
    standin::Options options;
    options.echoLog = true;
    // The plug-in's trace (when an account's debug setting is on) joins the log.
    standin::CaptureTrace();
    std::string account = "C:\\qvpush-demo\\account\\";
    int windows = 1;
    bool postMailArrived = false;
    bool setup = false;
    int untilDismissed = 0;
    int timeoutSeconds = 60;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (arg == "--plugin")
            options.pluginPath = value, ++i;
        else if (arg == "--account")
            account = value, ++i;
        else if (arg == "--windows")
            windows = atoi(value), ++i;
        else if (arg == "--retrieval-ms")
            options.retrievalMs = static_cast<DWORD>(atoi(value)), ++i;
        else if (arg == "--post-mail-arrived")
            postMailArrived = true;
        else if (arg == "--setup")
            setup = true;
        else if (arg == "--until-dismissed")
            untilDismissed = atoi(value), ++i;
        else if (arg == "--timeout-s")
            timeoutSeconds = atoi(value), ++i;
        else {
            fprintf(stderr, "unknown argument %s\n", arg.c_str());
            return 2;
        }
    }

    size_t first = standin::LogSize();
    if (!standin::Start(options)) {
        standin::Stop();
        return 1;
    }
    HWND front = NULL;
    for (int i = 0; i < windows; ++i) {
        HWND window = standin::OpenFolder(account);
        if (front == NULL)
            front = window;
    }
    if (postMailArrived) {
        UINT command = standin::Registrations().at(0).id;
        standin::Log("posting the mail-arrived command %u to %p", command, static_cast<void*>(front));
        PostMessageA(front, WM_COMMAND, command, 0);
    }

    bool done = true;
    DWORD deadline = GetTickCount() + static_cast<DWORD>(timeoutSeconds) * 1000;
    if (setup) {
        size_t from = standin::LogSize();
        standin::PostSetup(front);
        if (standin::WaitForLog("QPCSetup(", static_cast<DWORD>(timeoutSeconds) * 1000, from) < 0) {
            HWND dialog = NULL;
            while ((dialog = FindWindowExA(NULL, dialog, "#32770", "QV-PUSH設定(IMAP4)")) != NULL &&
                   GetWindow(dialog, GW_OWNER) != front) {
            }
            standin::Log("closing the setup dialog %p after %d s", static_cast<void*>(dialog), timeoutSeconds);
            PostMessageA(dialog, WM_CLOSE, 0, 0);
            standin::WaitForLog("QPCSetup(", 10000, from);
        }
    }
    size_t from = first;
    for (int i = 0; i < untilDismissed; ++i) {
        DWORD now = GetTickCount();
        DWORD left = static_cast<int>(deadline - now) > 0 ? deadline - now : 0;
        long line = standin::WaitForLog("receive dialog OK pressed", left, from);
        if (line < 0) {
            standin::Log("gave up waiting: %d of %d receive dialogs dismissed", i, untilDismissed);
            done = false;
            break;
        }
        from = static_cast<size_t>(line) + 1;
    }
    standin::Stop();
    return done ? 0 : 1;
}
