#include "support/ui.h"

#include <string.h>

namespace ui {

HWND WaitForWindow(const char* className, const char* title, DWORD timeoutMs, HWND owner, DWORD pid)
{
    DWORD start = GetTickCount();
    for (;;) {
        HWND window = NULL;
        while ((window = FindWindowExA(NULL, window, className, title)) != NULL) {
            if (owner != NULL && GetWindow(window, GW_OWNER) != owner)
                continue;
            DWORD windowPid = 0;
            GetWindowThreadProcessId(window, &windowPid);
            if (pid != 0 && windowPid != pid)
                continue;
            // A dialog is shown once its controls exist.
            if (IsWindowVisible(window))
                return window;
        }
        if (GetTickCount() - start >= timeoutMs)
            return NULL;
        Sleep(10); // polling another process's or thread's windows: there is no event to wait on
    }
}

bool WaitForWindowGone(HWND window, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (IsWindow(window)) {
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(10);
    }
    return true;
}

std::string Text(HWND window)
{
    char text[4096];
    text[0] = '\0';
    GetWindowTextA(window, text, sizeof text);
    return text;
}

static BOOL CALLBACK AddChild(HWND window, LPARAM lParam)
{
    char className[64];
    GetClassNameA(window, className, sizeof className);
    Child child = {window, className, Text(window), GetDlgCtrlID(window)};
    reinterpret_cast<std::vector<Child>*>(lParam)->push_back(child);
    return TRUE;
}

std::vector<Child> Children(HWND window)
{
    std::vector<Child> children;
    EnumChildWindows(window, AddChild, reinterpret_cast<LPARAM>(&children));
    return children;
}

std::string MessageBoxText(HWND box)
{
    for (const Child& child : Children(box))
        if (_stricmp(child.className.c_str(), "Static") == 0 && !child.text.empty())
            return child.text;
    return std::string();
}

std::vector<std::string> ButtonTexts(HWND dialog)
{
    std::vector<std::string> texts;
    for (const Child& child : Children(dialog))
        if (_stricmp(child.className.c_str(), "Button") == 0 && IsWindowVisible(child.window))
            texts.push_back(child.text);
    return texts;
}

void Press(HWND dialog, int id)
{
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

} // namespace ui
