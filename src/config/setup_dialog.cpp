#include "config/setup_dialog.h"

#include <string.h>

#include <string>

#include "config/dialog_ids.h"
#include "config/settings.h"
#include "diag/format.h"

namespace {

// Shown instead of a port of 0 or less.
const int DefaultPort = 143;

// The encryption list's items, in the order of the values of "tls": an
// item's index is the value it stands for.
const char* const EncryptionItems[] = {"なし", "SSL/TLS", "STARTTLS"};
const int EncryptionNone = 0;
const int EncryptionImplicit = 1;
const int EncryptionStartTls = 2;
const int EncryptionCount = sizeof EncryptionItems / sizeof EncryptionItems[0];

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

// The chosen item of the encryption list; -1 when none is chosen.
int ChosenEncryption(HWND dialog)
{
    LRESULT chosen = SendDlgItemMessageA(dialog, IDC_TLS, CB_GETCURSEL, 0, 0);
    return chosen >= 0 && chosen < EncryptionCount ? static_cast<int>(chosen) : -1;
}

// A new choice of encryption takes the port along when it still shows the
// usual port of the other kind: 143 becomes 993 for SSL/TLS, and 993 becomes
// 143 for none and STARTTLS. Any other text is the user's own port and stays.
void MatchPortToEncryption(HWND dialog)
{
    // Room for more than "143" and "993", so that a longer text is never cut
    // down to one of them.
    char port[16];
    ReadControl(dialog, IDC_PORT, port, sizeof port);
    int chosen = ChosenEncryption(dialog);
    if (chosen == EncryptionImplicit && strcmp(port, "143") == 0)
        SetDlgItemTextA(dialog, IDC_PORT, "993");
    else if ((chosen == EncryptionNone || chosen == EncryptionStartTls) && strcmp(port, "993") == 0)
        SetDlgItemTextA(dialog, IDC_PORT, "143");
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
    SendDlgItemMessageA(dialog, IDC_TLS, CB_RESETCONTENT, 0, 0);
    for (const char* item : EncryptionItems)
        SendDlgItemMessageA(dialog, IDC_TLS, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
    // A stored value that is none of the items is a fault in the file: the
    // list then shows no choice rather than one the file does not hold.
    WPARAM chosen = settings.tls >= 0 && settings.tls < EncryptionCount ? static_cast<WPARAM>(settings.tls)
                                                                        : static_cast<WPARAM>(-1);
    SendDlgItemMessageA(dialog, IDC_TLS, CB_SETCURSEL, chosen, 0);
}

bool ApplySetupDialog(HWND dialog, Settings* settings)
{
    // A copy, so that the settings the dialog does not show (refreshTime,
    // recvTimeout, debug, tlsFingerprint) pass through unchanged.
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
    if (strcmp(edited.pass, settings->pass) != 0)
        edited.passState = PasswordKnown; // typed: also where the file's did not decrypt
    edited.recvAtConnected = CheckedAsSetting(dialog, IDC_RECV_AT_CONNECTED);
    // With no choice the stored value stays, even one out of range: saving
    // other edits must not turn a faulty value into plain text.
    int chosen = ChosenEncryption(dialog);
    if (chosen >= 0)
        edited.tls = chosen;

    const Settings& current = *settings;
    bool changed = edited.use != current.use || strcmp(edited.server, current.server) != 0 ||
                   edited.port != current.port || edited.recvAtConnected != current.recvAtConnected ||
                   strcmp(edited.user, current.user) != 0 || strcmp(edited.pass, current.pass) != 0 ||
                   edited.tls != current.tls;
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
        case IDC_TLS:
            if (HIWORD(wParam) == CBN_SELCHANGE)
                MatchPortToEncryption(dialog);
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
