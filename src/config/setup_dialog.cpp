#include "config/setup_dialog.h"

#include <string.h>

#include <string>

#include "config/dialog_ids.h"
#include "config/settings.h"
#include "diag/format.h"
#include "host/host_api.h"
#include "host/plugin.h"
#include "watch/registry.h"
#include "watch/worker.h"

namespace {

// Shown instead of a port of 0 or less.
const int DefaultPort = 143;

const char ErrorCaption[] = "QV-PUSH エラー発生";
const char SaveFailedFormat[] = "設定ファイル「%s」に書き込めませんでした";

// Reads an edit control into a field of `size` bytes. The count given to the
// control is one less than the field, so at most size - 2 characters arrive;
// a text that cannot be read leaves the field empty.
void ReadControl(HWND dialog, int id, char* field, int size)
{
    field[0] = '\0';
    GetDlgItemTextA(dialog, id, field, size - 1);
    field[size - 1] = '\0';
}

int CheckedAsSetting(HWND dialog, int id)
{
    return IsDlgButtonChecked(dialog, id) == BST_CHECKED ? 1 : 0;
}

// The new settings reached the watcher but not the file: say so, or the
// user finds the old settings at the next start without knowing why.
void ReportSaveFailure(HWND window, const std::string& account)
{
    std::string text;
    FormatString(text, SaveFailedFormat, SettingsFileName(account.c_str()).c_str());
    MessageBoxA(window, text.c_str(), ErrorCaption, MB_OK | MB_ICONERROR);
}

} // namespace

void InitSetupDialog(HWND dialog)
{
    const Settings& settings = CurrentSettings;
    CheckDlgButton(dialog, IDC_USE, settings.use != 0 ? BST_CHECKED : BST_UNCHECKED);
    SetDlgItemTextA(dialog, IDC_SERVER, settings.server);
    std::string port;
    FormatString(port, "%d", settings.port > 0 ? settings.port : DefaultPort);
    SetDlgItemTextA(dialog, IDC_PORT, port.c_str());
    SetDlgItemTextA(dialog, IDC_USER, settings.user);
    SetDlgItemTextA(dialog, IDC_PASS, settings.pass);
    CheckDlgButton(dialog, IDC_RECV_AT_CONNECTED, settings.recvAtConnected != 0 ? BST_CHECKED : BST_UNCHECKED);
}

bool ApplySetupDialog(HWND dialog)
{
    // A copy, so that the settings the dialog does not show (refreshTime,
    // recvTimeout, debug) pass through unchanged.
    Settings edited = CurrentSettings;
    edited.use = CheckedAsSetting(dialog, IDC_USE);
    ReadControl(dialog, IDC_SERVER, edited.server, sizeof edited.server);
    char port[300];
    ReadControl(dialog, IDC_PORT, port, sizeof port);
    // Decimal only: the file's hexadecimal and octal forms are not offered
    // to the user.
    edited.port = TextToInt32(port, 10);
    ReadControl(dialog, IDC_USER, edited.user, sizeof edited.user);
    ReadControl(dialog, IDC_PASS, edited.pass, sizeof edited.pass);
    edited.recvAtConnected = CheckedAsSetting(dialog, IDC_RECV_AT_CONNECTED);

    const Settings& current = CurrentSettings;
    bool changed = edited.use != current.use || strcmp(edited.server, current.server) != 0 ||
                   edited.port != current.port || edited.recvAtConnected != current.recvAtConnected ||
                   strcmp(edited.user, current.user) != 0 || strcmp(edited.pass, current.pass) != 0;
    if (changed)
        CurrentSettings = edited;
    return changed;
}

INT_PTR CALLBACK SetupDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        InitSetupDialog(dialog);
        return TRUE; // focus to the first tab stop
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            EndDialog(dialog, ApplySetupDialog(dialog) ? 1 : 2);
            break;
        case IDCANCEL:
            EndDialog(dialog, 2);
            break;
        }
        return FALSE;
    case WM_CLOSE:
        EndDialog(dialog, 0);
        return FALSE;
    }
    return FALSE;
}

int RunSettingsFlow(HWND window)
{
    // Nothing may unwind into the host. The only exception is running out of
    // memory, which ends the flow at the step where it happened.
    try {
        // The dialog starts from what the file holds, not from what a
        // watcher runs with.
        LoadSettings(HostGetAccount(window), &CurrentSettings);
        INT_PTR result =
            DialogBoxParamA(PluginInstance, MAKEINTRESOURCEA(IDD_SETUP), window, SetupDialogProc, 0);
        if (result != 1)
            return static_cast<int>(result);
        std::string account = HostGetAccount(window);
        bool saved = SaveSettings(account.c_str());
        // Even when the file refused them, the running watcher gets the
        // confirmed settings, so the change holds for this session.
        Watcher* watcher = FindWatcherByWindow(window);
        if (watcher != NULL)
            UpdateSettings(watcher);
        // Told only after the watcher has them: the message box runs a modal
        // loop in which the window and its watcher may go.
        if (!saved)
            ReportSaveFailure(window, account);
        return 1;
    } catch (...) {
        return 0;
    }
}
