// The plug-in inside the stand-in host: its entry points, the four host
// commands, the check timer and the discovery of the send/receive item.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "standin/host.h"
#include "support/host_fixture.h"
#include "support/ui.h"

namespace {

const char ErrorCaption[] = "QV-PUSH エラー発生";

std::string PostedSendReceive(UINT id)
{
    return "WM_COMMAND id=" + std::to_string(id) + " lParam=1000";
}

TEST_F(HostTest, StartUpRegistersTheFourCommandsInOrderWithParameterZero)
{
    std::vector<standin::Registration> registered = standin::Registrations();
    ASSERT_EQ(registered.size(), 4u);
    for (size_t i = 0; i < registered.size(); ++i) {
        EXPECT_EQ(registered[i].param, 0) << "registration " << i;
        for (size_t j = 0; j < i; ++j)
            EXPECT_NE(registered[i].callback, registered[j].callback);
    }
    EXPECT_GE(WaitFor("QPCStartUp -> 1"), 0);
}

TEST_F(HostTest, PlugNameStaysPutAndStartUpAndPreOpenViewReturn1)
{
    typedef const char*(WINAPI * NameFn)();
    typedef int(WINAPI * OneFn)(DWORD);
    typedef int(WINAPI * TwoFn)(DWORD, DWORD);
    standin::Run([] {
        NameFn name = reinterpret_cast<NameFn>(reinterpret_cast<void*>(standin::PluginEntry("QPCGetPlugName")));
        EXPECT_STREQ(name(), "QV-PUSH Version 0.07");
        EXPECT_EQ(name(), name()) << "the name must stay where it is";
        OneFn startUp = reinterpret_cast<OneFn>(reinterpret_cast<void*>(standin::PluginEntry("QPCStartUp")));
        TwoFn preOpen = reinterpret_cast<TwoFn>(reinterpret_cast<void*>(standin::PluginEntry("QPCFolderPreOpenView")));
        for (DWORD value : {0u, 1u, 0xFFFFFFFFu}) {
            EXPECT_EQ(preOpen(value, value ^ 5), 1);
            EXPECT_EQ(startUp(value), 1);
        }
    });
}

TEST_F(HostTest, MailArrivedArmsTheTimerWhichPostsSendReceiveWithLParam1000)
{
    HWND window = standin::OpenFolder("C:\\acct\\");
    PostMessageA(window, WM_COMMAND, Command(0), 0);

    // The whole trigger path, through the host's real timer, menu and dialog.
    ASSERT_GE(WaitFor("_QPASetTimer(20, "), 0);
    ASSERT_GE(WaitFor(PostedSendReceive(standin::SendReceiveItemId)), 0);
    ASSERT_GE(WaitFor("receive dialog opened"), 0);
    ASSERT_GE(WaitFor("QPCFolderEndRetrieve(" + Hex(window) + ") -> 1"), 0);
    ASSERT_GE(WaitFor("receive dialog OK pressed for " + Hex(window)), 0);
    EXPECT_EQ(Count("lParam=1000"), 1);
    EXPECT_EQ(Count("tick on " + Hex(window) + " returned 0"), 1);
}

TEST_F(HostTest, TwoNoticesInARowArmTheTimerTwiceWithTheSameArguments)
{
    HWND window = standin::OpenFolder("C:\\acct\\");
    standin::SetBusy(true); // keep the first arming from firing in between
    PostMessageA(window, WM_COMMAND, Command(0), 0);
    PostMessageA(window, WM_COMMAND, Command(0), 0);
    ASSERT_GE(WaitFor("command " + std::to_string(Command(0)) + " returned"), 0);
    long second = -1;
    long first = WaitFor("_QPASetTimer(");
    ASSERT_GE(first, 0);
    second = standin::WaitForLog("_QPASetTimer(", 10000, first + 1);
    ASSERT_GE(second, 0);
    std::vector<std::string> lines = standin::LogLines();
    // Compare the calls without their time stamps.
    EXPECT_EQ(lines[first].substr(lines[first].find(' ')), lines[second].substr(lines[second].find(' ')));
    standin::SetBusy(false);
}

TEST_F(HostTest, BusyHostGetsNoSendReceiveUntilItIsFree)
{
    HWND window = standin::OpenFolder("C:\\acct\\");
    standin::SetBusy(true);
    PostMessageA(window, WM_COMMAND, Command(0), 0);
    long tick = -1;
    for (int i = 0; i < 3; ++i) {
        tick = standin::WaitForLog("tick on " + Hex(window) + " returned 1", 10000, tick < 0 ? mark : tick + 1);
        ASSERT_GE(tick, 0) << "tick " << i;
    }
    EXPECT_EQ(Count("lParam=1000"), 0);
    EXPECT_EQ(Count("WM_INITMENUPOPUP"), 0) << "a busy host is not even asked for its menu state";

    standin::SetBusy(false);
    ASSERT_GE(WaitFor(PostedSendReceive(standin::SendReceiveItemId)), 0);
    ASSERT_GE(WaitFor("receive dialog OK pressed"), 0);
}

class CheckItemState : public HostTest, public ::testing::WithParamInterface<standin::CheckItemMode> {
protected:
    void TearDown() override
    {
        standin::SetCheckItemMode(standin::CheckItemMode::Normal);
        HostTest::TearDown();
    }
};

TEST_P(CheckItemState, ItemNotPlainlyEnabledMeansNoSendReceive)
{
    standin::SetCheckItemMode(GetParam());
    HWND window = standin::OpenFolder("C:\\acct\\");
    PostMessageA(window, WM_COMMAND, Command(0), 0);
    long tick = -1;
    for (int i = 0; i < 3; ++i) {
        tick = standin::WaitForLog("tick on " + Hex(window) + " returned 1", 10000, tick < 0 ? mark : tick + 1);
        ASSERT_GE(tick, 0) << "tick " << i;
    }
    EXPECT_GE(Count("WM_INITMENUPOPUP tools"), 3) << "each tick asks the host to refresh the menu";
    EXPECT_EQ(Count("lParam=1000"), 0);
}

INSTANTIATE_TEST_SUITE_P(GrayedCheckedOrAbsent, CheckItemState,
                         ::testing::Values(standin::CheckItemMode::Grayed, standin::CheckItemMode::Checked,
                                           standin::CheckItemMode::Absent));

class NoDiscovery : public HostTest {
protected:
    void SetUp() override
    {
        options.initMenuOnCreate = false;
        HostTest::SetUp();
    }
};

TEST_F(NoDiscovery, TimerPostsIdentifierZeroWhenTheItemWasNeverFound)
{
    HWND window = standin::OpenFolder("C:\\acct\\");
    PostMessageA(window, WM_COMMAND, Command(0), 0);
    ASSERT_GE(WaitFor(PostedSendReceive(0)), 0);
    EXPECT_GE(WaitFor("tick on " + Hex(window) + " returned 0"), 0);
}

// ---- discovery ----------------------------------------------------------

struct MenuItem {
    UINT type;  // MFT_* flags of the item
    UINT state; // MFS_* flags
    UINT id;
    const char* text;
};

struct DiscoveryCase {
    const char* name;
    std::vector<MenuItem> items; // the popup at position 2
    int menuId;
    bool atPosition1; // put the items at position 1 instead
    UINT expected;    // 0: unchanged, still the folder menu's own item
};

const char Text[] = "メールの送受信";

std::vector<DiscoveryCase> DiscoveryCases()
{
    return {
        {"PlainTextItem", {{MFT_STRING, 0, 501, Text}}, 101, false, 501},
        {"TextMayContinueAfterTheFourteenBytes", {{MFT_STRING, 0, 502, "メールの送受信(&R)\tF5"}}, 101, false, 502},
        {"LastMatchWins",
         {{MFT_STRING, 0, 503, Text}, {MFT_STRING, 0, 509, "別の項目"}, {MFT_STRING, 0, 504, "メールの送受信(&S)"}},
         101, false, 504},
        {"DisabledItemStillMatches", {{MFT_STRING, MFS_GRAYED, 505, Text}}, 101, false, 505},
        {"OneByteDifferentDoesNotMatch", {{MFT_STRING, 0, 506, "メールの送受診"}}, 101, false, 0},
        {"ShorterTextDoesNotMatch", {{MFT_STRING, 0, 507, "メールの送受"}}, 101, false, 0},
        {"SeparatorNeverMatches", {{MFT_SEPARATOR, 0, 508, nullptr}}, 101, false, 0},
        {"RadioCheckTypeNeverMatches", {{MFT_STRING | MFT_RADIOCHECK, 0, 510, Text}}, 101, false, 0},
        {"MenuBreakTypeNeverMatches", {{MFT_STRING | MFT_MENUBARBREAK, 0, 511, Text}}, 101, false, 0},
        {"OwnerDrawnNeverMatches", {{MFT_OWNERDRAW, 0, 512, Text}}, 101, false, 0},
        {"MenuIdentifier100ChangesNothing", {{MFT_STRING, 0, 513, Text}}, 100, false, 0},
        {"MenuIdentifier102ChangesNothing", {{MFT_STRING, 0, 514, Text}}, 102, false, 0},
        {"OtherPopupIsNotSearched", {{MFT_STRING, 0, 515, Text}}, 101, true, 0},
    };
}

void PrintTo(const DiscoveryCase& c, std::ostream* os)
{
    *os << c.name;
}

class Discovery : public HostTest, public ::testing::WithParamInterface<DiscoveryCase> {};

HMENU BuildMenu(const DiscoveryCase& c)
{
    HMENU bar = CreateMenu();
    for (int position = 0; position < 4; ++position) {
        HMENU popup = CreatePopupMenu();
        if ((position == 2 && !c.atPosition1) || (position == 1 && c.atPosition1)) {
            UINT index = 0;
            for (const MenuItem& item : c.items) {
                MENUITEMINFOA info;
                ZeroMemory(&info, sizeof info);
                info.cbSize = sizeof info;
                info.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STATE | MIIM_DATA;
                info.fType = item.type;
                info.fState = item.state;
                info.wID = item.id;
                if (item.type & MFT_OWNERDRAW) {
                    info.dwItemData = reinterpret_cast<ULONG_PTR>(item.text);
                } else if (item.text != nullptr) {
                    info.fMask |= MIIM_STRING;
                    info.dwTypeData = const_cast<char*>(item.text);
                }
                InsertMenuItemA(popup, index++, TRUE, &info);
            }
        }
        AppendMenuA(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(popup), "popup");
    }
    return bar;
}

TEST_P(Discovery, FindsTheSendReceiveItem)
{
    const DiscoveryCase& c = GetParam();
    HWND window = standin::OpenFolder("C:\\acct\\"); // discovers the host's own item first
    typedef void(WINAPI * InitMenuFn)(DWORD, HMENU, int);
    standin::Run([&] {
        HMENU menu = BuildMenu(c);
        reinterpret_cast<InitMenuFn>(reinterpret_cast<void*>(standin::PluginEntry("QPCFolderInitMenu")))(0, menu,
                                                                                                      c.menuId);
        DestroyMenu(menu);
    });
    PostMessageA(window, WM_COMMAND, Command(0), 0);
    UINT expected = c.expected != 0 ? c.expected : standin::SendReceiveItemId;
    ASSERT_GE(WaitFor("lParam=1000"), 0);
    EXPECT_EQ(Count(PostedSendReceive(expected)), 1);
    if (expected == standin::SendReceiveItemId) {
        ASSERT_GE(WaitFor("receive dialog OK pressed"), 0); // let the retrieval finish before stopping
    }
}

INSTANTIATE_TEST_SUITE_P(Menus, Discovery, ::testing::ValuesIn(DiscoveryCases()),
                         [](const ::testing::TestParamInfo<DiscoveryCase>& info) {
                             return std::string(info.param.name);
                         });

// ---- dismissing the receive dialog ---------------------------------------

BOOL EndRetrieve(HWND window)
{
    typedef BOOL(WINAPI * Fn)(HWND);
    BOOL posted = FALSE;
    standin::Run([&] {
        posted = reinterpret_cast<Fn>(reinterpret_cast<void*>(standin::PluginEntry("QPCFolderEndRetrieve")))(window);
    });
    return posted;
}

TEST_F(HostTest, DismissPressesOkOnlyOnTheDialogOfThatWindow)
{
    HWND a = standin::OpenFolder("C:\\a\\");
    HWND b = standin::OpenFolder("C:\\b\\");
    HWND dialogB = standin::CreateReceiveDialog(b, true);
    HWND dialogA = standin::CreateReceiveDialog(a, true);
    ASSERT_TRUE(EndRetrieve(a));
    ASSERT_GE(WaitFor("test dialog " + Hex(dialogA) + " OK pressed"), 0);
    ASSERT_GE(WaitFor("command " + std::to_string(Command(1)) + " returned"), 0);
    EXPECT_TRUE(IsWindow(dialogB)) << "another window's receive dialog was closed";
    EXPECT_FALSE(IsWindow(dialogA));
    standin::Run([&] { DestroyWindow(dialogB); });
}

TEST_F(HostTest, DismissClosesOnlyOneOfTwoDialogsOfTheSameWindow)
{
    HWND a = standin::OpenFolder("C:\\a\\");
    HWND first = standin::CreateReceiveDialog(a, true);
    HWND second = standin::CreateReceiveDialog(a, true);
    ASSERT_TRUE(EndRetrieve(a));
    ASSERT_GE(WaitFor("command " + std::to_string(Command(1)) + " returned"), 0);
    EXPECT_EQ(Count("OK pressed"), 1);
    EXPECT_NE(IsWindow(first), IsWindow(second));
    standin::Run([&] {
        DestroyWindow(first);
        DestroyWindow(second);
    });
}

// The receive dialogs of a window in the order a search of the top-level
// windows finds them.
std::vector<HWND> ReceiveDialogsInSearchOrder(HWND owner)
{
    std::vector<HWND> found;
    standin::Run([&] {
        HWND dialog = NULL;
        while ((dialog = FindWindowExA(NULL, dialog, "#32770", "メール受信")) != NULL)
            if (GetParent(dialog) == owner)
                found.push_back(dialog);
    });
    return found;
}

TEST_F(HostTest, DismissPassesOverADialogWithoutOkButton)
{
    HWND a = standin::OpenFolder("C:\\a\\");
    HWND withOk = standin::CreateReceiveDialog(a, true);
    HWND withoutOk = standin::CreateReceiveDialog(a, false);
    // The one without OK comes first, so that passing over it is what the
    // plug-in must do to reach the other.
    standin::Run([&] { SetWindowPos(withoutOk, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE); });
    ASSERT_EQ(ReceiveDialogsInSearchOrder(a), (std::vector<HWND>{withoutOk, withOk}));
    ASSERT_TRUE(EndRetrieve(a));
    ASSERT_GE(WaitFor("test dialog " + Hex(withOk) + " OK pressed"), 0);
    EXPECT_TRUE(IsWindow(withoutOk));
    standin::Run([&] { DestroyWindow(withoutOk); });
}

TEST_F(HostTest, DismissWithoutAnyDialogReturnsZero)
{
    HWND a = standin::OpenFolder("C:\\a\\");
    ASSERT_TRUE(EndRetrieve(a));
    EXPECT_GE(WaitFor("command " + std::to_string(Command(1)) + " returned 0"), 0);
}

// ---- the two message boxes ------------------------------------------------

struct BoxCase {
    const char* name;
    size_t command;
    const char* text;
    bool opensSetup; // the settings dialog follows the box
};

void PrintTo(const BoxCase& c, std::ostream* os)
{
    *os << c.name;
}

class ErrorBox : public HostTest, public ::testing::WithParamInterface<BoxCase> {};

TEST_P(ErrorBox, ShowsItsTextOwnedByTheFolderWindow)
{
    HWND window = standin::OpenFolder("C:\\acct\\");
    PostMessageA(window, WM_COMMAND, Command(GetParam().command), 0);
    HWND box = ui::WaitForWindow("#32770", ErrorCaption, 10000, window);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(ui::MessageBoxText(box), GetParam().text);
    EXPECT_EQ(ui::ButtonTexts(box), std::vector<std::string>{"OK"});
    ui::Press(box, IDOK);
    if (GetParam().opensSetup) {
        // The command runs the settings flow once the box is closed, and
        // returns only when its dialog is gone.
        HWND setup = ui::WaitForWindow("#32770", "QV-PUSH設定(IMAP4)", 10000, window);
        ASSERT_NE(setup, nullptr) << "no settings dialog after the box";
        EXPECT_FALSE(IsWindow(box));
        EXPECT_EQ(Count("command " + std::to_string(Command(GetParam().command)) + " returned"), 0);
        ui::Press(setup, IDCANCEL);
    }
    EXPECT_GE(WaitFor("command " + std::to_string(Command(GetParam().command)) + " returned"), 0);
    // Other test processes may show their own settings dialogs meanwhile.
    EXPECT_EQ(ui::WaitForWindow("#32770", "QV-PUSH設定(IMAP4)", 0, window), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Notices, ErrorBox,
                         ::testing::Values(BoxCase{"ConnectFailed", 2, "IMAP4サーバーへ接続できません", false},
                                           BoxCase{"LoginFailed", 3, "ユーザー名か、パスワードが違います", true}),
                         [](const ::testing::TestParamInfo<BoxCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
