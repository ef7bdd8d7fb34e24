// A host that lacks any one of its 34 plug-in functions: the plug-in refuses
// to load and says so in a message box, which the test reads and closes.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/ui.h"

namespace {

class RefusedLoad : public ::testing::TestWithParam<int> {};

TEST_P(RefusedLoad, ShowsTheErrorBoxAndFailsTheLoad)
{
    std::string command = "refused_host_" + std::to_string(GetParam()) + ".exe qvpush.dll";
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    ASSERT_TRUE(CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        << command;

    HWND box = ui::WaitForWindow("#32770", "プラグインエラー", 30000, NULL, process.dwProcessId);
    ASSERT_NE(box, nullptr) << "no load-failure message box";
    EXPECT_EQ(ui::MessageBoxText(box),
              "プラグイン「QV-PUSH Version 0.07」でエラーが発生しました。\r\n"
              "QV-Mail32とプラグインのバージョンを確認してください");
    EXPECT_EQ(ui::ButtonTexts(box), std::vector<std::string>{"OK"});
    EXPECT_EQ(GetWindow(box, GW_OWNER), nullptr) << "the box has no owner window";
    ui::Press(box, IDOK);

    ASSERT_EQ(WaitForSingleObject(process.hProcess, 30000), WAIT_OBJECT_0);
    DWORD exitCode = 99;
    GetExitCodeProcess(process.hProcess, &exitCode);
    EXPECT_EQ(exitCode, 0u) << "LoadLibrary succeeded although a host function is missing";
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

// One host program per missing function: 0 lacks the first of the binding
// order, 33 the last.
INSTANTIATE_TEST_SUITE_P(EachMissingFunction, RefusedLoad, ::testing::Range(0, 34));

} // namespace
