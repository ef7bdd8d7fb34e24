// What the setup dialog (config/) shows of the window's watcher, and the
// connection test it runs: the dialog's link, filled in here, where the
// watcher and the IMAP code can be reached. Host's thread, but for the test's
// helper thread.
#pragma once

#include <windows.h>

#include <string>

#include "config/setup_dialog.h"
#include "watch/probe.h"
#include "watch/status.h"

// The link for the dialog of `window`, whose account folder is `account`.
// The record it points into must outlive the dialog.
struct SetupLinkOwner {
    HWND window = NULL;
    std::string account; // the test's certificate check is the account's
    HWND noticeTo = NULL; // the dialog the watcher tells of its state changes
};
SetupDialogLink MakeSetupDialogLink(SetupLinkOwner* owner);

// The status line for a watcher's status; null: the window has no watcher.
std::string StatusLineText(const WatcherStatus* status);
// The status line and the certificate box for a test's result.
SetupTestResult TestResultOf(const ProbeResult& probe);
