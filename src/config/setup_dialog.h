// The setup dialog and the settings flow around it. Everything here runs on
// the host's user-interface thread.
#pragma once

#include <windows.h>

// The settings flow of QPCSetup, also run after a rejected login: load the
// window's account settings, run the dialog, and on a confirmed change save
// them and hand them to the account's watcher. Answers the dialog's result
// (1 changed, 2 cancelled or unchanged, 0 closed, -1 no dialog).
int RunSettingsFlow(HWND window);

// Dialog procedure of dialog 101. Ends the dialog with 1 when OK confirmed a
// change, 2 for Cancel or OK without a change, 0 for the close box.
INT_PTR CALLBACK SetupDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// Fills the controls from CurrentSettings.
void InitSetupDialog(HWND dialog);
// Reads the controls; when a shown setting differs from CurrentSettings,
// replaces CurrentSettings and answers true.
bool ApplySetupDialog(HWND dialog);
