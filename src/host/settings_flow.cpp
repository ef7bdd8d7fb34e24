#include "host/settings_flow.h"

#include <string.h>

#include <string>

#include "config/settings.h"
#include "config/setup_dialog.h"
#include "config/user_texts.h"
#include "diag/format.h"
#include "host/host_api.h"
#include "host/setup_link.h"
#include "watch/registry.h"
#include "watch/worker.h"

namespace {

// The new settings reached the watcher but not the file: say so, or the
// user finds the old settings at the next start without knowing why.
void ReportSaveFailure(HWND window, const std::string& account)
{
    std::string text;
    FormatString(text, TextSaveFailedFormat, SettingsFileName(account.c_str()).c_str());
    MessageBoxA(window, text.c_str(), TextErrorCaption, MB_OK | MB_ICONERROR);
}

} // namespace

int RunSettingsFlow(HWND window)
{
    // Nothing may unwind into the host. The only exception is running out of
    // memory, which ends the flow at the step where it happened.
    try {
        // The dialog starts from what the file holds, not from what a
        // watcher runs with. The record is this flow's own: another flow may
        // start from the dialog's modal loop (another account's rejected
        // login) and must not change what this one shows and saves.
        Settings settings;
        SetupLinkOwner linked;
        linked.window = window;
        linked.account = HostGetAccount(window);
        LoadSettings(linked.account.c_str(), &settings);
        const Settings loaded = settings;
        SetupDialogLink link = MakeSetupDialogLink(&linked);
        INT_PTR result = RunSetupDialog(PluginInstance, window, &settings, &link);
        if (result != 1)
            return static_cast<int>(result);
        std::string account = HostGetAccount(window);
        bool saved = SaveSettings(account.c_str(), settings);
        // The pin changes only through the dialog's trust (or goes with the
        // server it was for); a pin the user wrote stays otherwise.
        if (strcmp(settings.tlsFingerprint, loaded.tlsFingerprint) != 0)
            saved = SavePinnedFingerprint(account.c_str(), settings.tlsFingerprint) && saved;
        // Even when the file refused them, the running watcher gets the
        // confirmed settings, so the change holds for this session. The
        // window may have closed while the dialog was open; then it has no
        // watcher any more, and nobody is told.
        Watcher* watcher = FindWatcherByWindow(window);
        if (watcher != NULL)
            UpdateSettings(watcher, settings);
        // Told only after the watcher has them: the message box runs a modal
        // loop in which the window and its watcher may go.
        if (!saved)
            ReportSaveFailure(window, account);
        return 1;
    } catch (...) {
        return 0;
    }
}
