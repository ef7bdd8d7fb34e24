#include "config/setup_dialog.h"

#include <string.h>

#include <new>
#include <string>
#include <vector>

#include "config/dialog_ids.h"
#include "config/settings.h"
#include "config/user_texts.h"
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

// The settings as the controls show them, over a copy of `base`.
Settings ReadSetupDialog(HWND dialog, const Settings& base);

// The status line's texts of the dialog's own.
const char Ellipsis[] = "…";

// Posted to the dialog: the watcher's state changed; a test has a result
// (wParam: the test's serial).
const UINT StatusChangedMessage = WM_APP + 1;
const UINT TestDoneMessage = WM_APP + 2;
// The status line is read again this often, whether or not a change was
// posted; a test gets this long in all.
const UINT RefreshTimer = 1;
const UINT RefreshEveryMs = 1000;
const DWORD TestLimitMs = 60000;

// What the connection test is doing.
enum TestPhase {
    TestNotRun,  // no test yet
    TestRunning, // on its helper thread; the line says so
    TestEnded,   // its result is in `result`
};

// The dialog's own record, from WM_INITDIALOG to WM_DESTROY.
struct DialogState {
    Settings* settings = nullptr;           // what the file holds; replaced on OK with a change
    const SetupDialogLink* link = nullptr;  // null: no status line, no test
    std::string statusSeen;                 // the watcher's status line as last read
    TestPhase phase = TestNotRun;
    void* test = nullptr;                   // TestRunning: the link's test
    WPARAM serial = 0;                      // of the last test started
    DWORD startedAt = 0;                    // GetTickCount at its start
    std::string testedServer;               // the server of the last test
    SetupTestResult result;                 // TestEnded
    std::string trusted;                    // a fingerprint trusted in this dialog ("": none)
    std::string trustedServer;              // the server it was trusted for
    bool pinDropShown = false;              // the line says a held pin goes
};

DialogState* StateOf(HWND dialog)
{
    return reinterpret_cast<DialogState*>(GetWindowLongPtrA(dialog, DWLP_USER));
}

Settings* EditedSettings(HWND dialog)
{
    DialogState* state = StateOf(dialog);
    return state != nullptr ? state->settings : nullptr;
}

// Server names compare as the name service does, without regard to case.
bool SameServer(const char* a, const char* b)
{
    return lstrcmpiA(a, b) == 0;
}

// The pin the dialog's settings carry for `server`: one trusted in this
// dialog for that server, else the file's while the server is still the
// file's, else none. A new server name never inherits a certificate.
std::string PinFor(const DialogState& state, const char* server)
{
    if (!state.trusted.empty() && SameServer(server, state.trustedServer.c_str()))
        return state.trusted;
    if (SameServer(server, state.settings->server))
        return state.settings->tlsFingerprint;
    return std::string();
}

bool HoldsPin(const DialogState& state)
{
    return !state.trusted.empty() || state.settings->tlsFingerprint[0] != '\0';
}

// The text cut to what the control shows in its lines, ending in an
// ellipsis when cut. Measured as a left-aligned static control draws.
std::string FitToControl(HWND control, const std::string& text)
{
    RECT client;
    GetClientRect(control, &client);
    HDC dc = GetDC(control);
    if (dc == NULL)
        return text;
    HGDIOBJ font = reinterpret_cast<HGDIOBJ>(SendMessageA(control, WM_GETFONT, 0, 0));
    HGDIOBJ previous = font != NULL ? SelectObject(dc, font) : NULL;
    const UINT format = DT_LEFT | DT_EXPANDTABS | DT_WORDBREAK | DT_NOPREFIX | DT_CALCRECT;
    auto fits = [&](const std::string& candidate) {
        RECT r = {0, 0, client.right, 0};
        DrawTextA(dc, candidate.c_str(), -1, &r, format);
        return r.bottom <= client.bottom;
    };
    std::string shown = text;
    if (!fits(text)) {
        // Where each character starts, double-byte ones whole.
        std::vector<size_t> starts;
        for (const char* c = text.c_str(); *c != '\0'; c = CharNextA(c))
            starts.push_back(static_cast<size_t>(c - text.c_str()));
        shown = Ellipsis;
        for (size_t i = starts.size(); i-- > 0;) {
            std::string candidate = text.substr(0, starts[i]) + Ellipsis;
            if (fits(candidate)) {
                shown = candidate;
                break;
            }
        }
    }
    if (previous != NULL)
        SelectObject(dc, previous);
    ReleaseDC(control, dc);
    return shown;
}

void ShowLine(HWND dialog, const std::string& text)
{
    HWND line = GetDlgItem(dialog, IDC_STATUS);
    SetWindowTextA(line, FitToControl(line, text).c_str());
}

// Disables a button; the focus, when it was there, goes on to the next
// control, so that the keyboard still reaches the dialog.
void DisableButton(HWND dialog, int id)
{
    HWND button = GetDlgItem(dialog, id);
    if (GetFocus() == button)
        SendMessageA(dialog, WM_NEXTDLGCTL, 0, FALSE);
    EnableWindow(button, FALSE);
}

std::string ServerShown(HWND dialog)
{
    char server[300];
    ReadControl(dialog, IDC_SERVER, server, sizeof server);
    return server;
}

// 証明書… offers the certificate of the last test while it can still be
// trusted: refused for its issuer or its pin, for the server shown, and not
// trusted yet.
void UpdateCertificateButton(HWND dialog, DialogState* state)
{
    std::string server = ServerShown(dialog);
    bool offered = state->phase == TestEnded && state->result.trustable && !state->result.fingerprint.empty() &&
                   SameServer(server.c_str(), state->testedServer.c_str()) &&
                   PinFor(*state, server.c_str()) != state->result.fingerprint;
    if (offered)
        EnableWindow(GetDlgItem(dialog, IDC_CERTIFICATE), TRUE);
    else
        DisableButton(dialog, IDC_CERTIFICATE);
}

// The watcher's state, read again; shown when it changed, unless a test
// runs. A result or a note stays until then.
void RefreshStatus(HWND dialog, DialogState* state)
{
    if (state->link == nullptr || state->link->statusLine == nullptr)
        return;
    std::string text = state->link->statusLine(state->link->owner);
    if (text == state->statusSeen)
        return;
    state->statusSeen = text;
    if (state->phase != TestRunning)
        ShowLine(dialog, text);
}

void EndRunningTest(HWND dialog, DialogState* state, const SetupTestResult& result)
{
    if (state->test != nullptr)
        state->link->endTest(state->test);
    state->test = nullptr;
    state->phase = TestEnded;
    state->result = result;
    ShowLine(dialog, result.line);
    EnableWindow(GetDlgItem(dialog, IDC_TEST), TRUE);
    UpdateCertificateButton(dialog, state);
}

void StartTest(HWND dialog, DialogState* state)
{
    const SetupDialogLink* link = state->link;
    if (state->phase == TestRunning || link == nullptr || link->startTest == nullptr)
        return;
    Settings tested = ReadSetupDialog(dialog, *state->settings);
    std::string pin = PinFor(*state, tested.server);
    lstrcpynA(tested.tlsFingerprint, pin.c_str(), sizeof tested.tlsFingerprint);
    WPARAM serial = ++state->serial;
    void* test = link->startTest(link->owner, tested, dialog, TestDoneMessage, serial);
    if (test == nullptr) {
        SetupTestResult failed;
        failed.line = TextTestNotStarted;
        EndRunningTest(dialog, state, failed);
        return;
    }
    state->test = test;
    state->phase = TestRunning;
    state->startedAt = GetTickCount();
    state->testedServer = tested.server;
    state->result = SetupTestResult();
    state->pinDropShown = false;
    ShowLine(dialog, TextTesting);
    DisableButton(dialog, IDC_TEST);
    DisableButton(dialog, IDC_CERTIFICATE);
}

void TestDone(HWND dialog, DialogState* state, WPARAM serial)
{
    if (state->phase != TestRunning || serial != state->serial)
        return; // a test let go of earlier
    SetupTestResult result;
    if (!state->link->testResult(state->test, &result))
        return;
    EndRunningTest(dialog, state, result);
}

// Each second: the status, and the limit of a running test.
void OnTimer(HWND dialog, DialogState* state)
{
    if (state->phase == TestRunning && GetTickCount() - state->startedAt >= TestLimitMs) {
        SetupTestResult late;
        late.line = TextTestLate;
        EndRunningTest(dialog, state, late);
    }
    RefreshStatus(dialog, state);
}

void OfferCertificate(HWND dialog, DialogState* state)
{
    if (state->phase != TestEnded || !state->result.trustable)
        return;
    int answer = MessageBoxA(dialog, state->result.certificateText.c_str(), TextCertificateCaption,
                             MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2);
    if (answer != IDYES)
        return;
    state->trusted = state->result.fingerprint;
    state->trustedServer = state->testedServer;
    state->pinDropShown = false;
    ShowLine(dialog, TextTrusted);
    UpdateCertificateButton(dialog, state);
}

// A new server name: a pin held for another server goes at OK, and the line
// says so; back to that server, it stays again.
void ServerEdited(HWND dialog, DialogState* state)
{
    std::string server = ServerShown(dialog);
    bool dropped = HoldsPin(*state) && PinFor(*state, server.c_str()).empty();
    if (dropped != state->pinDropShown) {
        state->pinDropShown = dropped;
        if (dropped)
            ShowLine(dialog, TextPinDropped);
        else if (state->phase != TestRunning)
            ShowLine(dialog, !state->trusted.empty() ? TextTrusted : state->statusSeen);
    }
    UpdateCertificateButton(dialog, state);
}

void BeginDialog(HWND dialog, const SetupDialogArgs& args)
{
    DialogState* state = new DialogState;
    state->settings = args.settings;
    state->link = args.link;
    SetWindowLongPtrA(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(state));
    InitSetupDialog(dialog, *state->settings);
    const SetupDialogLink* link = state->link;
    if (link == nullptr || link->startTest == nullptr)
        EnableWindow(GetDlgItem(dialog, IDC_TEST), FALSE);
    if (link != nullptr && link->noticeStatus != nullptr)
        link->noticeStatus(link->owner, dialog, StatusChangedMessage);
    RefreshStatus(dialog, state);
    SetTimer(dialog, RefreshTimer, RefreshEveryMs, NULL);
}

// The dialog goes: no more notices, and a running test is let go of; its
// helper ends by itself.
void EndDialogState(HWND dialog)
{
    DialogState* state = StateOf(dialog);
    if (state == nullptr)
        return;
    SetWindowLongPtrA(dialog, DWLP_USER, 0);
    KillTimer(dialog, RefreshTimer);
    const SetupDialogLink* link = state->link;
    if (link != nullptr && link->noticeStatus != nullptr)
        link->noticeStatus(link->owner, NULL, 0);
    if (state->test != nullptr)
        link->endTest(state->test);
    delete state;
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

Settings ReadSetupDialog(HWND dialog, const Settings& base)
{
    // A copy, so that the settings the dialog does not show (refreshTime,
    // recvTimeout, debug, keepAlive) pass through unchanged.
    Settings edited = base;
    edited.use = CheckedAsSetting(dialog, IDC_USE);
    ReadControl(dialog, IDC_SERVER, edited.server, sizeof edited.server);
    char port[300];
    ReadControl(dialog, IDC_PORT, port, sizeof port);
    // Decimal only: the file's hexadecimal and octal forms are not offered
    // to the user.
    edited.port = TextToInt32(port, 10);
    ReadControl(dialog, IDC_USER, edited.user, sizeof edited.user);
    ReadControl(dialog, IDC_PASS, edited.pass, sizeof edited.pass);
    if (strcmp(edited.pass, base.pass) != 0)
        edited.passState = PasswordKnown; // typed: also where the file's did not decrypt
    edited.recvAtConnected = CheckedAsSetting(dialog, IDC_RECV_AT_CONNECTED);
    // With no choice the stored value stays, even one out of range: saving
    // other edits must not turn a faulty value into plain text.
    int chosen = ChosenEncryption(dialog);
    if (chosen >= 0)
        edited.tls = chosen;
    return edited;
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
    Settings edited = ReadSetupDialog(dialog, *settings);
    // The pin is the file's, kept while the server stays, or one trusted in
    // this dialog for the server shown: the only way the dialog changes it.
    DialogState* state = StateOf(dialog);
    if (state != nullptr) {
        std::string pin = PinFor(*state, edited.server);
        lstrcpynA(edited.tlsFingerprint, pin.c_str(), sizeof edited.tlsFingerprint);
    }

    const Settings& current = *settings;
    bool changed = edited.use != current.use || strcmp(edited.server, current.server) != 0 ||
                   edited.port != current.port || edited.recvAtConnected != current.recvAtConnected ||
                   strcmp(edited.user, current.user) != 0 || strcmp(edited.pass, current.pass) != 0 ||
                   edited.tls != current.tls || strcmp(edited.tlsFingerprint, current.tlsFingerprint) != 0;
    if (changed)
        *settings = edited;
    return changed;
}

namespace {

INT_PTR SetupDialogMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        BeginDialog(dialog, *reinterpret_cast<const SetupDialogArgs*>(lParam));
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
        case IDC_TEST:
            if (HIWORD(wParam) == BN_CLICKED && StateOf(dialog) != nullptr)
                StartTest(dialog, StateOf(dialog));
            break;
        case IDC_CERTIFICATE:
            if (HIWORD(wParam) == BN_CLICKED && StateOf(dialog) != nullptr)
                OfferCertificate(dialog, StateOf(dialog));
            break;
        case IDC_SERVER:
            if (HIWORD(wParam) == EN_CHANGE && StateOf(dialog) != nullptr)
                ServerEdited(dialog, StateOf(dialog));
            break;
        }
        return FALSE;
    case WM_TIMER:
        if (wParam == RefreshTimer && StateOf(dialog) != nullptr)
            OnTimer(dialog, StateOf(dialog));
        return TRUE;
    case StatusChangedMessage:
        if (StateOf(dialog) != nullptr)
            RefreshStatus(dialog, StateOf(dialog));
        return TRUE;
    case TestDoneMessage:
        if (StateOf(dialog) != nullptr)
            TestDone(dialog, StateOf(dialog), wParam);
        return TRUE;
    case WM_CLOSE:
        EndDialog(dialog, 0);
        return FALSE;
    case WM_DESTROY:
        EndDialogState(dialog);
        return FALSE;
    }
    return FALSE;
}

} // namespace

INT_PTR CALLBACK SetupDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    // Nothing may unwind into the host's message loop. Out of memory, the
    // message is dropped; at WM_INITDIALOG the dialog ends as one that
    // could not be made.
    try {
        return SetupDialogMessage(dialog, message, wParam, lParam);
    } catch (...) {
        if (message == WM_INITDIALOG) {
            EndDialogState(dialog);
            EndDialog(dialog, -1);
        }
        return FALSE;
    }
}

INT_PTR RunSetupDialog(HINSTANCE instance, HWND owner, Settings* settings, const SetupDialogLink* link)
{
    SetupDialogArgs args = {settings, link};
    return DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_SETUP), owner, SetupDialogProc,
                           reinterpret_cast<LPARAM>(&args));
}
