// The settings flow around the dialog, linked into the test itself, with the
// watcher lookup and the hand-over to the watcher replaced at link time
// (--wrap), so that the test sees exactly when and with what the flow
// reaches the account's watcher.
#include <windows.h>

#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "config/settings.h"
#include "config/setup_dialog.h"
#include "host/host_api.h"
#include "host/plugin.h"
#include "host/settings_flow.h"
#include "standin/host.h"
#include "support/temp_account.h"
#include "support/ui.h"

struct Watcher;

namespace {

// The watcher the flow finds for the folder window; any address will do, the
// flow only hands it on.
Watcher* const FakeWatcher = reinterpret_cast<Watcher*>(0x5EED);
HWND WatchedWindow = NULL; // written before the flow runs, read on the host's thread

std::string FileValue(const std::string& file, const char* key)
{
    char text[400];
    GetPrivateProfileStringA("imap4", key, "<none>", text, sizeof text, file.c_str());
    return text;
}

} // namespace

extern "C" {

Watcher* __wrap__Z19FindWatcherByWindowP6HWND__(HWND window)
{
    standin::Log("FindWatcherByWindow(%p)", static_cast<void*>(window));
    return window == WatchedWindow ? FakeWatcher : NULL;
}

void __wrap__Z14UpdateSettingsP7WatcherRK8Settings(Watcher* watcher, const Settings& settings)
{
    // What the watcher would be handed, and what the file holds by then.
    std::string file = SettingsFileName(HostGetAccount(WatchedWindow));
    standin::Log("UpdateSettings(%p) server=%s file server=%s", static_cast<void*>(watcher), settings.server,
                 FileValue(file, "server").c_str());
}

} // extern "C"

namespace {

using testing_support::TempAccount;

const char DialogTitle[] = "QV-PUSH設定(IMAP4)";
const char ErrorCaption[] = "QV-PUSH エラー発生";
const int ServerId = 1002;

class SettingsFlow : public ::testing::Test {
protected:
    TempAccount account;
    HWND window = NULL;
    size_t mark = 0;

    void SetUp() override
    {
        standin::Options options;
        options.pluginPath = "no-such-plugin.dll"; // the flow is linked in; the host runs without a DLL
        standin::Start(options);
        PluginInstance = GetModuleHandleA(NULL); // dialog 101 is linked into this program
        ASSERT_TRUE(BindHostApi()) << "the test program must export the host's functions";
        mark = standin::LogSize();
    }
    void TearDown() override { standin::Stop(); }

    // Runs the flow on the host's thread for `account` and waits for its dialog.
    HWND Open(const std::string& folder, bool watched)
    {
        window = standin::OpenFolder(folder);
        WatchedWindow = watched ? window : NULL;
        HWND target = window;
        standin::Post([target] {
            int result = RunSettingsFlow(target);
            standin::Log("flow(%p) -> %d", static_cast<void*>(target), result);
        });
        return ui::WaitForWindow("#32770", DialogTitle, 10000, window);
    }

    long WaitFor(const std::string& text) const { return standin::WaitForLog(text, 10000, mark); }
    int Count(const std::string& text) const { return standin::CountLog(text, mark); }
    std::string FlowResult(int result) const
    {
        char text[64];
        snprintf(text, sizeof text, "flow(%p) -> %d", static_cast<void*>(window), result);
        return text;
    }
};

TEST_F(SettingsFlow, ConfirmedChangeIsSavedBeforeTheWatcherOfTheWindowGetsIt)
{
    account.WriteIni("[imap4]\r\nserver=old.example.jp\r\n");
    HWND dialog = Open(account.Folder(), true);
    ASSERT_NE(dialog, nullptr);
    SetDlgItemTextA(dialog, ServerId, "new.example.jp");
    ui::Press(dialog, IDOK);
    ASSERT_GE(WaitFor(FlowResult(1)), 0);

    char find[64];
    snprintf(find, sizeof find, "FindWatcherByWindow(%p)", static_cast<void*>(window));
    long found = WaitFor(find);
    long updated = WaitFor("UpdateSettings(");
    ASSERT_GE(found, 0);
    ASSERT_GE(updated, found);
    EXPECT_EQ(Count("UpdateSettings("), 1);
    std::string line = standin::LogLines()[updated];
    EXPECT_NE(line.find("server=new.example.jp file server=new.example.jp"), std::string::npos) << line;
    EXPECT_EQ(Count(ErrorCaption), 0);
}

TEST_F(SettingsFlow, WindowWithoutWatcherStillSaves)
{
    HWND dialog = Open(account.Folder(), false);
    ASSERT_NE(dialog, nullptr);
    SetDlgItemTextA(dialog, ServerId, "new.example.jp");
    ui::Press(dialog, IDOK);
    ASSERT_GE(WaitFor(FlowResult(1)), 0);
    EXPECT_EQ(FileValue(account.IniPath(), "server"), "new.example.jp");
    EXPECT_EQ(Count("UpdateSettings("), 0);
}

struct NoChangeCase {
    const char* name;
    bool edit; // type into the server field first
    int result;
    void (*close)(HWND dialog);
};

void PrintTo(const NoChangeCase& c, std::ostream* os)
{
    *os << c.name;
}

class FlowWithoutChange : public SettingsFlow, public ::testing::WithParamInterface<NoChangeCase> {};

TEST_P(FlowWithoutChange, NeitherSavesNorTellsTheWatcher)
{
    HWND dialog = Open(account.Folder(), true);
    ASSERT_NE(dialog, nullptr);
    if (GetParam().edit)
        SetDlgItemTextA(dialog, ServerId, "discarded.example.jp");
    GetParam().close(dialog);
    ASSERT_GE(WaitFor(FlowResult(GetParam().result)), 0);
    EXPECT_EQ(Count("FindWatcherByWindow("), 0);
    EXPECT_EQ(Count("UpdateSettings("), 0);
    EXPECT_FALSE(account.IniExists());
}

INSTANTIATE_TEST_SUITE_P(
    Closes, FlowWithoutChange,
    ::testing::Values(NoChangeCase{"OkWithoutChange", false, 2, [](HWND d) { ui::Press(d, IDOK); }},
                      NoChangeCase{"Cancel", true, 2, [](HWND d) { ui::Press(d, IDCANCEL); }},
                      NoChangeCase{"CloseBox", true, 0, [](HWND d) { PostMessageA(d, WM_SYSCOMMAND, SC_CLOSE, 0); }}),
    [](const ::testing::TestParamInfo<NoChangeCase>& info) { return std::string(info.param.name); });

TEST_F(SettingsFlow, FailedSaveStillReachesTheWatcherAndIsReportedAfterwards)
{
    std::string missing = account.Folder() + "gone\\";
    HWND dialog = Open(missing, true);
    ASSERT_NE(dialog, nullptr);
    SetDlgItemTextA(dialog, ServerId, "new.example.jp");
    ui::Press(dialog, IDOK);

    HWND box = ui::WaitForWindow("#32770", ErrorCaption, 10000, window);
    ASSERT_NE(box, nullptr) << "the failed save was not reported";
    // By the time the user reads the box, the watcher already runs with the
    // confirmed settings; only the file lacks them.
    long updated = WaitFor("UpdateSettings(");
    ASSERT_GE(updated, 0);
    EXPECT_NE(standin::LogLines()[updated].find("server=new.example.jp file server=<none>"), std::string::npos);
    EXPECT_EQ(ui::MessageBoxText(box), "設定ファイル「" + missing + "qvpush.ini」に書き込めませんでした");
    bool icon = false;
    for (const ui::Child& child : ui::Children(box))
        if (_stricmp(child.className.c_str(), "Static") == 0 && IsWindowVisible(child.window) &&
            (GetWindowLongA(child.window, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
            icon = true;
    EXPECT_TRUE(icon) << "an error box carries the error icon";
    EXPECT_EQ(ui::ButtonTexts(box), std::vector<std::string>{"OK"});
    EXPECT_EQ(Count("flow("), 0) << "the flow returns only once the box is closed";
    ui::Press(box, IDOK);
    ASSERT_GE(WaitFor(FlowResult(1)), 0);
    EXPECT_EQ(Count("UpdateSettings("), 1);
    long handed = WaitFor("UpdateSettings(");
    ASSERT_GE(handed, 0);
    EXPECT_NE(standin::LogLines()[handed].find(" server=new.example.jp "), std::string::npos)
        << "the watcher is handed what the user confirmed, though the file refused it";
}

} // namespace
