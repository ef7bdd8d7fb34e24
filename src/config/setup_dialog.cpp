#include "config/setup_dialog.h"

#include <string.h>

#include <string>

#include "config/dialog_ids.h"
#include "config/settings.h"
#include "diag/format.h"

namespace {

// Shown instead of a port of 0 or less.
const int DefaultPort = 143;

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

Settings* EditedSettings(HWND dialog)
{
    return reinterpret_cast<Settings*>(GetWindowLongPtrA(dialog, DWLP_USER));
}

} // namespace

void InitSetupDialog(HWND dialog, const Settings& settings)
{
    CheckDlgButton(dialog, IDC_USE, settings.use != 0 ? BST_CHECKED : BST_UNCHECKED);
    SetDlgItemTextA(dialog, IDC_SERVER, settings.server);
    std::string port;
    FormatString(port, "%d", settings.port > 0 ? settings.port : DefaultPort);
    SetDlgItemTextA(dialog, IDC_PORT, port.c_str());
    SetDlgItemTextA(dialog, IDC_USER, settings.user);
    SetDlgItemTextA(dialog, IDC_PASS, settings.pass);
    CheckDlgButton(dialog, IDC_RECV_AT_CONNECTED, settings.recvAtConnected != 0 ? BST_CHECKED : BST_UNCHECKED);
}

bool ApplySetupDialog(HWND dialog, Settings* settings)
{
    // A copy, so that the settings the dialog does not show (refreshTime,
    // recvTimeout, debug) pass through unchanged.
    Settings edited = *settings;
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

    const Settings& current = *settings;
    bool changed = edited.use != current.use || strcmp(edited.server, current.server) != 0 ||
                   edited.port != current.port || edited.recvAtConnected != current.recvAtConnected ||
                   strcmp(edited.user, current.user) != 0 || strcmp(edited.pass, current.pass) != 0;
    if (changed)
        *settings = edited;
    return changed;
}

INT_PTR CALLBACK SetupDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        SetWindowLongPtrA(dialog, DWLP_USER, lParam);
        InitSetupDialog(dialog, *reinterpret_cast<Settings*>(lParam));
        return TRUE; // focus to the first tab stop
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            EndDialog(dialog, ApplySetupDialog(dialog, EditedSettings(dialog)) ? 1 : 2);
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

INT_PTR RunSetupDialog(HINSTANCE instance, HWND owner, Settings* settings)
{
    return DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_SETUP), owner, SetupDialogProc,
                           reinterpret_cast<LPARAM>(settings));
}
