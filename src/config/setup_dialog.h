// The setup dialog (dialog 101). Everything here runs on the host's
// user-interface thread.
#pragma once

#include <windows.h>

#include <string>

struct Settings;

// How a connection test ended, as the dialog shows it.
struct SetupTestResult {
    std::string line; // for the status line: "テスト成功: ..." or "テスト失敗: ..."
    // The certificate was refused for its issuer or for not being the pinned
    // one: the user may trust it. The box's text and what trusting keeps.
    bool trustable = false;
    std::string certificateText;
    std::string fingerprint;
};

// What the dialog shows of the account's watcher, and the connection test,
// from the layers above this one, which it may not include. Each function
// runs on the host's thread and returns at once.
struct SetupDialogLink {
    void* owner = nullptr;
    // The status line for the account's watcher now.
    std::string (*statusLine)(void* owner) = nullptr;
    // From now on `message` is posted to `dialog` when the watcher's state
    // changes; a null dialog ends that.
    void (*noticeStatus)(void* owner, HWND dialog, UINT message) = nullptr;
    // Starts a test of `settings` on a helper thread, which posts `message`
    // with `serial` in wParam to `dialog` once it has a result. Null when it
    // could not start.
    void* (*startTest)(void* owner, const Settings& settings, HWND dialog, UINT message, WPARAM serial) = nullptr;
    // After the message: the result. False while the test still runs.
    bool (*testResult)(void* test, SetupTestResult* result) = nullptr;
    // Lets go of a test, stopping it when it still runs; its helper ends by
    // itself.
    void (*endTest)(void* test) = nullptr;
};

// Runs dialog 101 of `instance` modally, owned by `owner`, over `settings`:
// it shows them, and on OK with a change it writes the shown settings back
// into the record. Each run edits only the record it was given, so that two
// dialogs open at once (for two accounts) never see each other's values.
// `link` may be null: no status and no test.
// Answers 1 when OK confirmed a change, 2 for Cancel or OK without a change,
// 0 for the close box, -1 when the dialog could not be created.
INT_PTR RunSetupDialog(HINSTANCE instance, HWND owner, Settings* settings, const SetupDialogLink* link = nullptr);

// What RunSetupDialog hands the dialog procedure as WM_INITDIALOG's lParam.
struct SetupDialogArgs {
    Settings* settings;          // the record the dialog edits
    const SetupDialogLink* link; // may be null
};

// Dialog procedure of dialog 101.
INT_PTR CALLBACK SetupDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// Fills the controls from `settings`.
void InitSetupDialog(HWND dialog, const Settings& settings);
// Reads the controls (and the certificate pin the dialog holds for the
// server shown); when a shown setting differs from `settings`, replaces it
// and answers true.
bool ApplySetupDialog(HWND dialog, Settings* settings);
