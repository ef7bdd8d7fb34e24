// The setup dialog (dialog 101). Everything here runs on the host's
// user-interface thread.
#pragma once

#include <windows.h>

struct Settings;

// Runs dialog 101 of `instance` modally, owned by `owner`, over `settings`:
// it shows them, and on OK with a change it writes the shown settings back
// into the record. Each run edits only the record it was given, so that two
// dialogs open at once (for two accounts) never see each other's values.
// Answers 1 when OK confirmed a change, 2 for Cancel or OK without a change,
// 0 for the close box, -1 when the dialog could not be created.
INT_PTR RunSetupDialog(HINSTANCE instance, HWND owner, Settings* settings);

// Dialog procedure of dialog 101; its WM_INITDIALOG lParam is the Settings
// record the dialog edits.
INT_PTR CALLBACK SetupDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// Fills the controls from `settings`.
void InitSetupDialog(HWND dialog, const Settings& settings);
// Reads the controls; when a shown setting differs from `settings`, replaces
// it and answers true.
bool ApplySetupDialog(HWND dialog, Settings* settings);
