// The settings flow of QPCSetup, also run after a rejected login. Host's
// user-interface thread only.
#pragma once

#include <windows.h>

// Loads the window's account settings into a record of this flow's own,
// runs the setup dialog over it, and on a confirmed change saves them and
// hands them to the account's watcher. Answers the dialog's result (1
// changed, 2 cancelled or unchanged, 0 closed, -1 no dialog).
int RunSettingsFlow(HWND window);
