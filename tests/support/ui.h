// Finding and driving real windows from a test thread, the way a user would.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace ui {

// Waits for a visible top-level window of the class and title; when owner is given
// it must be the window's owner, when pid is given its process.
HWND WaitForWindow(const char* className, const char* title, DWORD timeoutMs, HWND owner = NULL,
                   DWORD pid = 0);
// Waits until the window is gone.
bool WaitForWindowGone(HWND window, DWORD timeoutMs);

std::string Text(HWND window);

struct Child {
    HWND window;
    std::string className;
    std::string text;
    int id;
};
std::vector<Child> Children(HWND window);

// The message text of a message box: its static control with text.
std::string MessageBoxText(HWND box);
// Button texts of a dialog, in z-order.
std::vector<std::string> ButtonTexts(HWND dialog);

// Presses a dialog's button as a click would.
void Press(HWND dialog, int id);

} // namespace ui
