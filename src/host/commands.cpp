#include "host/commands.h"

#include <string.h>

#include <string>

#include "config/settings.h"
#include "config/user_texts.h"
#include "diag/format.h"
#include "host/failure_text.h"
#include "host/settings_flow.h"
#include "host/host_api.h"
#include "imap/failure.h"
#include "watch/registry.h"

std::atomic<UINT> DismissReceiveCommand{0};
UINT SendReceiveMenuId = 0;

namespace {

// Menu identifier under which the host initialises a folder window's menu.
const int FolderMenuId = 101;
// Top-level positions: where the send/receive item is discovered, and where
// the item whose state says "the host can receive now" is checked.
const int DiscoveryPosition = 2;
const int CheckPosition = 3;
const UINT CheckItemId = 32835;
// lParam of the posted send/receive command, and the value the check timer is
// armed with.
const LPARAM SendReceiveParam = 1000;
const int CheckTimerValue = 20;

const char SendReceiveText[] = "メールの送受信"; // 14 bytes in code page 932
const size_t SendReceiveTextBytes = 14;
static_assert(sizeof(SendReceiveText) - 1 == SendReceiveTextBytes,
              "the menu text must be compiled as code page 932");

const char ReceiveDialogTitle[] = "メール受信";

// Failures that pinning the certificate settles: the box then shows its
// fingerprint and where to write it. A pin accepts any name and any date, so
// a name mismatch or an expired certificate is told with what would settle
// it instead.
bool IsPinAdvised(ConnectFailReason reason)
{
    return reason == ReasonPinMismatch || reason == ReasonCertUntrusted || reason == ReasonPinSetting;
}

// What the user can do about a refused certificate, a line each.
std::string CertificateAdvice(const ConnectFailure& failure, const std::string& account)
{
    std::string text, line;
    if (IsPinAdvised(failure.reason) && !failure.fingerprint.empty()) {
        FormatString(line, TextFingerprintFormat, failure.fingerprint.c_str());
        text += "\n" + line;
        // A certificate refused for its issuer or its pin is checked and
        // trusted in the setup dialog's test; a pin in the file that is no
        // fingerprint at all is put right in the file.
        if (failure.reason == ReasonPinSetting) {
            FormatString(line, TextTrustInFileFormat, SettingsFileName(account.c_str()).c_str());
            text += "\n" + line;
        } else {
            text += "\n";
            text += TextTrustInDialog;
        }
    } else if (failure.reason == ReasonCertName && !failure.names.empty()) {
        FormatString(line, TextNamesFormat, failure.names.c_str());
        text += "\n" + line;
        text += "\n";
        text += TextNamesAdvice;
    } else if (failure.reason == ReasonCertExpired) {
        FormatString(line, TextValidityFormat, LocalTimeText(failure.validFrom).c_str(),
                     LocalTimeText(failure.validTo).c_str());
        text += "\n" + line;
        text += "\n";
        text += TextClockAdvice;
    }
    return text;
}

// The connect-failed box's text for the window: the plain message, then why,
// when the watcher knows.
std::string ConnectFailedMessage(HWND window)
{
    std::string text = TextConnectFailed;
    ConnectFailure failure;
    std::string account;
    if (!LastConnectFailure(window, &failure, &account))
        return text;
    const char* reason = ConnectFailReasonLine(failure.reason);
    if (reason == NULL)
        return text;
    text += "\n";
    text += reason;
    text += CertificateAdvice(failure, account);
    return text;
}

} // namespace

void RegisterHostCommands()
{
    MailArrivedCommand = HostRegistCallback(OnMailArrived, 0);
    DismissReceiveCommand = HostRegistCallback(OnDismissReceiveDialog, 0);
    ConnectFailedCommand = HostRegistCallback(OnConnectFailed, 0);
    LoginFailedCommand = HostRegistCallback(OnLoginFailed, 0);
}

void DiscoverSendReceiveMenu(HMENU menu, int menuId)
{
    if (menuId != FolderMenuId)
        return;
    HMENU submenu = GetSubMenu(menu, DiscoveryPosition);
    int count = GetMenuItemCount(submenu);
    // No early exit: when several items match, the last one wins.
    for (int position = 0; position < count; ++position) {
        char text[300];
        text[0] = '\0';
        MENUITEMINFOA info;
        memset(&info, 0, sizeof info);
        info.cbSize = sizeof info;
        info.fMask = MIIM_ID | MIIM_TYPE;
        info.dwTypeData = text;
        info.cch = 299;
        // fType 0 is a plain text item: separators, bitmaps and owner-drawn
        // items carry a type flag (and no text in the buffer).
        if (GetMenuItemInfoA(submenu, position, TRUE, &info) && info.fType == 0 &&
            strncmp(text, SendReceiveText, SendReceiveTextBytes) == 0)
            SendReceiveMenuId = info.wID;
    }
}

int WINAPI OnMailArrived(HWND window, int)
{
    return HostSetTimer(CheckTimerValue, OnCheckTimer, window);
}

int WINAPI OnCheckTimer(int, HWND window)
{
    if (HostIsBusy() != 0)
        return 1;
    HMENU submenu = GetSubMenu(GetMenu(window), CheckPosition);
    // Let the host bring its items' states up to date, as before the menu opens.
    SendMessageA(window, WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(submenu), 0);
    // Any state flag (grayed, disabled, checked ...) or an absent item (-1)
    // means the host is not ready to receive.
    if (GetMenuState(submenu, CheckItemId, MF_BYCOMMAND) != 0)
        return 1;
    PostMessageA(window, WM_COMMAND, SendReceiveMenuId, SendReceiveParam);
    MailNoticeServed(window);
    return 0;
}

int WINAPI OnDismissReceiveDialog(HWND window, int)
{
    HWND dialog = NULL;
    while ((dialog = FindWindowExA(NULL, dialog, "#32770", ReceiveDialogTitle)) != NULL) {
        // GetParent of an owned top-level window answers its owner.
        if (GetParent(dialog) != window)
            continue;
        HWND ok = FindWindowExA(dialog, NULL, "Button", "OK");
        if (ok == NULL)
            continue;
        WPARAM command = MAKEWPARAM(GetDlgCtrlID(ok) & 0xFFFF, 0);
        return static_cast<int>(SendMessageA(dialog, WM_COMMAND, command, 0));
    }
    return 0;
}

int WINAPI OnConnectFailed(HWND window, int)
{
    // Out of memory, the box still says that the server could not be reached.
    std::string text;
    try {
        text = ConnectFailedMessage(window);
    } catch (...) {
        return MessageBoxA(window, TextConnectFailed, TextErrorCaption, MB_OK);
    }
    return MessageBoxA(window, text.c_str(), TextErrorCaption, MB_OK);
}

int WINAPI OnLoginFailed(HWND window, int)
{
    MessageBoxA(window, TextLoginFailed, TextErrorCaption, MB_OK);
    return RunSettingsFlow(window);
}
