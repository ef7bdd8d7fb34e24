// The setup dialog inside the stand-in host: QPCSetup on a folder window,
// the user's edits typed into the real controls, and what reaches the
// account's settings file and the next dialog.
#include <windows.h>

#include <gtest/gtest.h>

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "standin/host.h"
#include "support/host_fixture.h"
#include "support/immutable_file.h"
#include "support/protected_password.h"
#include "support/temp_account.h"
#include "support/ui.h"

namespace {

using testing_support::TempAccount;

const char DialogTitle[] = "QV-PUSH設定(IMAP4)";
const char ErrorCaption[] = "QV-PUSH エラー発生";

const int RecvAtConnectedId = 1001;
const int ServerId = 1002;
const int PortId = 1003;
const int UserId = 1004;
const int PassId = 1005;
const int UseId = 1006;
const int TlsId = 1007;

// The items of the encryption list; an item's index is its value of "tls".
const int TlsNone = 0, TlsImplicit = 1, TlsStartTls = 2;

// What the dialog shows, control by control.
struct Shown {
    bool use;
    std::string server;
    std::string port;
    std::string user;
    std::string pass;
    bool recvAtConnected;
    int tls = TlsNone; // the chosen item of the encryption list, -1 for none

    bool operator==(const Shown& o) const
    {
        return use == o.use && server == o.server && port == o.port && user == o.user && pass == o.pass &&
               recvAtConnected == o.recvAtConnected && tls == o.tls;
    }
};

void PrintTo(const Shown& s, std::ostream* os)
{
    *os << "{use " << s.use << ", server \"" << s.server << "\", port \"" << s.port << "\", user \"" << s.user
        << "\", pass \"" << s.pass << "\", recvAtConnected " << s.recvAtConnected << ", tls " << s.tls << "}";
}

std::string ItemText(HWND dialog, int id)
{
    char text[1024];
    text[0] = '\0';
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
}

bool Checked(HWND dialog, int id)
{
    return SendMessageA(GetDlgItem(dialog, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

int Chosen(HWND dialog)
{
    return static_cast<int>(SendMessageA(GetDlgItem(dialog, TlsId), CB_GETCURSEL, 0, 0));
}

Shown Read(HWND dialog)
{
    return {Checked(dialog, UseId),   ItemText(dialog, ServerId), ItemText(dialog, PortId),
            ItemText(dialog, UserId), ItemText(dialog, PassId),   Checked(dialog, RecvAtConnectedId),
            Chosen(dialog)};
}

void Type(HWND dialog, int id, const std::string& text)
{
    SetDlgItemTextA(dialog, id, text.c_str());
}

void Check(HWND dialog, int id, bool checked)
{
    SendMessageA(GetDlgItem(dialog, id), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

// Chooses an item of the encryption list as the user does: the list selects
// it and tells the dialog.
void Choose(HWND dialog, int item)
{
    HWND list = GetDlgItem(dialog, TlsId);
    SendMessageA(list, CB_SETCURSEL, item, 0);
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(TlsId, CBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
}

std::string Value(const std::string& file, const char* key)
{
    char text[1024];
    GetPrivateProfileStringA("imap4", key, "<none>", text, sizeof text, file.c_str());
    return text;
}

class SetupDialog : public HostTest {
protected:
    TempAccount account;
    HWND window = NULL;

    void SetUp() override
    {
        HostTest::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_EQ(GetACP(), 932u) << "the dialog's texts are code page 932";
    }

    HWND OpenFolder() { return window = standin::OpenFolder(account.Folder()); }

    // Runs QPCSetup on the host's thread and waits for the dialog.
    HWND Open(size_t* from = nullptr)
    {
        if (from != nullptr)
            *from = standin::LogSize();
        standin::PostSetup(window);
        return ui::WaitForWindow("#32770", DialogTitle, 10000, window);
    }

    // The result QPCSetup logged at or after log line `from`; -100 when it
    // never returned.
    int Result(size_t from) const
    {
        std::string text = "QPCSetup(" + Hex(window) + ") -> ";
        long line = standin::WaitForLog(text, 10000, from);
        if (line < 0)
            return -100;
        std::string entry = standin::LogLines()[line];
        return atoi(entry.c_str() + entry.find(text) + text.size());
    }

    // Opens the dialog, lets `edit` work on it, presses `button` (or closes
    // it with `close`) and answers the flow's result.
    int Run(const std::function<void(HWND)>& edit, int button)
    {
        size_t from = 0;
        HWND dialog = Open(&from);
        EXPECT_NE(dialog, nullptr) << "no setup dialog";
        if (dialog == NULL)
            return -100;
        edit(dialog);
        ui::Press(dialog, button);
        int result = Result(from);
        EXPECT_TRUE(ui::WaitForWindowGone(dialog, 10000));
        return result;
    }

    // What the next dialog shows, closed again with Cancel.
    Shown ShownNext()
    {
        size_t from = 0;
        HWND dialog = Open(&from);
        EXPECT_NE(dialog, nullptr) << "no setup dialog";
        if (dialog == NULL)
            return Shown();
        Shown shown = Read(dialog);
        ui::Press(dialog, IDCANCEL);
        EXPECT_EQ(Result(from), 2);
        return shown;
    }
};

// The watcher of the account is real: with `use` on it connects, so every
// server it may connect to is the loopback address.
const char Filled[] = "[imap4]\r\nuse=0\r\nserver=imap.example.jp\r\nport=993\r\nrefreshTime=7\r\nrecvTimeout=33\r\n"
                      "debug=1\r\nuser=taro\r\npass=FiY2\r\nrecvAtConnected=0\r\n";
const Shown FilledShown = {false, "imap.example.jp", "993", "taro", "abc", false};

TEST_F(SetupDialog, ShowsTheFileOwnedByTheFolderWindowAndCancelSavesNothing)
{
    account.WriteIni(Filled);
    OpenFolder();
    size_t from = 0;
    HWND dialog = Open(&from);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(GetWindow(dialog, GW_OWNER), window);
    EXPECT_EQ(Read(dialog), FilledShown);

    Type(dialog, ServerId, "changed.example.jp"); // discarded by Cancel
    ui::Press(dialog, IDCANCEL);
    EXPECT_EQ(Result(from), 2);
    EXPECT_EQ(account.ReadIni(), Filled);
}

TEST_F(SetupDialog, WithoutAFileShowsTheDefaultsAndOkWithoutChangeSavesNothing)
{
    OpenFolder();
    EXPECT_EQ(ShownNext(), (Shown{false, "", "143", "", "", true}));
    EXPECT_EQ(Run([](HWND) {}, IDOK), 2);
    EXPECT_FALSE(account.IniExists()) << "OK without a change must not create the file";
}

TEST_F(SetupDialog, OkWithoutChangeLeavesTheFileAsItWas)
{
    account.WriteIni(Filled);
    OpenFolder();
    EXPECT_EQ(Run([](HWND) {}, IDOK), 2);
    EXPECT_EQ(account.ReadIni(), Filled);
}

// ---- confirmed changes ------------------------------------------------------

struct ChangeCase {
    const char* name;
    std::function<void(HWND)> edit;
    Shown next;       // what the next dialog shows
    const char* port; // the port value in the file
};

void PrintTo(const ChangeCase& c, std::ostream* os)
{
    *os << c.name;
}

Shown With(std::function<void(Shown&)> change)
{
    Shown shown = FilledShown;
    change(shown);
    return shown;
}

std::vector<ChangeCase> ChangeCases()
{
    return {
        {"LetterCaseOfTheServerOnly", [](HWND d) { Type(d, ServerId, "IMAP.example.jp"); },
         With([](Shown& s) { s.server = "IMAP.example.jp"; }), "993"},
        {"UserOnly", [](HWND d) { Type(d, UserId, "hanako"); }, With([](Shown& s) { s.user = "hanako"; }), "993"},
        {"PasswordOnly", [](HWND d) { Type(d, PassId, "abd"); }, With([](Shown& s) { s.pass = "abd"; }), "993"},
        {"JapaneseUserAndPassword",
         [](HWND d) {
             Type(d, UserId, "山田");
             Type(d, PassId, "パスワード");
         },
         With([](Shown& s) { s.user = "山田", s.pass = "パスワード"; }), "993"},
        {"UseSwitchedOnWithLoopbackServer",
         [](HWND d) {
             Check(d, UseId, true);
             Type(d, ServerId, "127.0.0.1");
             Type(d, PortId, "1");
         },
         With([](Shown& s) { s.use = true, s.server = "127.0.0.1", s.port = "1"; }), "1"},
        {"RecvAtConnectedSwitchedOn", [](HWND d) { Check(d, RecvAtConnectedId, true); },
         With([](Shown& s) { s.recvAtConnected = true; }), "993"},
        {"PortWithLeadingBlank", [](HWND d) { Type(d, PortId, " 143"); }, With([](Shown& s) { s.port = "143"; }),
         "143"},
        {"PortWithTrailingLetters", [](HWND d) { Type(d, PortId, "143abc"); },
         With([](Shown& s) { s.port = "143"; }), "143"},
        {"HexadecimalPortReadsAsZero", [](HWND d) { Type(d, PortId, "0x1A"); },
         With([](Shown& s) { s.port = "143"; }), "0"},
        {"EmptyPortSavesZeroAndShows143", [](HWND d) { Type(d, PortId, ""); },
         With([](Shown& s) { s.port = "143"; }), "0"},
        {"OctalLookingPortIsDecimal", [](HWND d) { Type(d, PortId, "0110"); },
         With([](Shown& s) { s.port = "110"; }), "110"},
        {"PortBeyondTheRangeSaturates", [](HWND d) { Type(d, PortId, "99999999999"); },
         With([](Shown& s) { s.port = "2147483647"; }), "2147483647"},
        {"NegativePortSavedAsTypedShows143", [](HWND d) { Type(d, PortId, "-1"); },
         With([](Shown& s) { s.port = "143"; }), "-1"},
        {"PasswordOf120CharactersKeeps98", [](HWND d) { Type(d, PassId, std::string(120, 'p')); },
         With([](Shown& s) { s.pass = std::string(98, 'p'); }), "993"},
        {"UserOf120CharactersKeeps98", [](HWND d) { Type(d, UserId, std::string(120, 'u')); },
         With([](Shown& s) { s.user = std::string(98, 'u'); }), "993"},
        {"ServerOf350CharactersKeeps298", [](HWND d) { Type(d, ServerId, std::string(350, 's')); },
         With([](Shown& s) { s.server = std::string(298, 's'); }), "993"},
        {"EncryptionOnly", [](HWND d) { Choose(d, TlsImplicit); }, With([](Shown& s) { s.tls = TlsImplicit; }),
         "993"},
        {"StartTlsTakesThePortTo143", [](HWND d) { Choose(d, TlsStartTls); },
         With([](Shown& s) { s.tls = TlsStartTls, s.port = "143"; }), "143"},
    };
}

class ConfirmedChange : public SetupDialog, public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(ConfirmedChange, IsSavedAndShownByTheNextDialog)
{
    account.WriteIni(Filled);
    OpenFolder();
    EXPECT_EQ(Run(GetParam().edit, IDOK), 1);
    EXPECT_EQ(ShownNext(), GetParam().next);
    std::string file = account.IniPath();
    EXPECT_EQ(Value(file, "port"), GetParam().port);
    EXPECT_EQ(Value(file, "tls"), std::to_string(GetParam().next.tls));
    // The settings the dialog does not show pass through untouched.
    EXPECT_EQ(Value(file, "refreshTime"), "7");
    EXPECT_EQ(Value(file, "recvTimeout"), "33");
    EXPECT_EQ(Value(file, "debug"), "1");
}

INSTANTIATE_TEST_SUITE_P(Edits, ConfirmedChange, ::testing::ValuesIn(ChangeCases()),
                         [](const ::testing::TestParamInfo<ChangeCase>& info) { return std::string(info.param.name); });

TEST_F(SetupDialog, StoredPortZeroShowsAs143AndOkSaves143)
{
    account.WriteIni("[imap4]\r\nport=abc\r\nuse=0\r\n");
    OpenFolder();
    size_t from = 0;
    HWND dialog = Open(&from);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(ItemText(dialog, PortId), "143");
    ui::Press(dialog, IDOK);
    EXPECT_EQ(Result(from), 1) << "143 differs from the stored 0";
    EXPECT_EQ(Value(account.IniPath(), "port"), "143");
}

TEST_F(SetupDialog, StoredFiveShowsCheckedAndOkSavesOne)
{
    account.WriteIni("[imap4]\r\nuse=5\r\nrecvAtConnected=5\r\nserver=127.0.0.1\r\nport=1\r\n");
    OpenFolder();
    size_t from = 0;
    HWND dialog = Open(&from);
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(Checked(dialog, UseId));
    EXPECT_TRUE(Checked(dialog, RecvAtConnectedId));
    ui::Press(dialog, IDOK);
    EXPECT_EQ(Result(from), 1);
    EXPECT_EQ(Value(account.IniPath(), "use"), "1");
    EXPECT_EQ(Value(account.IniPath(), "recvAtConnected"), "1");
}

TEST_F(SetupDialog, SavedFileHoldsTheSevenKeysWithTheEncryptedPassword)
{
    OpenFolder();
    EXPECT_EQ(Run(
                  [](HWND d) {
                      Check(d, UseId, true);
                      Type(d, ServerId, "127.0.0.1");
                      Type(d, PortId, "1");
                      Type(d, UserId, "taro");
                      Type(d, PassId, "abc");
                      Check(d, RecvAtConnectedId, false);
                      Choose(d, TlsStartTls);
                  },
                  IDOK),
              1);
    std::string stored = Value(account.IniPath(), "passProtected");
    EXPECT_EQ(account.ReadIni(), "[imap4]\r\nuse=1\r\nserver=127.0.0.1\r\nport=1\r\nuser=taro\r\n"
                                 "passProtected=" + stored + "\r\nrecvAtConnected=0\r\ntls=2\r\n");
    std::string password;
    EXPECT_TRUE(testing_support::UnprotectValue(stored, &password)) << stored;
    EXPECT_EQ(password, "abc");
}

TEST_F(SetupDialog, FileConvertedByASaveShowsThePasswordInTheNextDialog)
{
    account.WriteIni(Filled); // the password in the older form
    OpenFolder();
    EXPECT_EQ(Run([](HWND d) { Type(d, ServerId, "127.0.0.2"); }, IDOK), 1);
    EXPECT_EQ(Value(account.IniPath(), "pass"), "<none>") << account.ReadIni();
    ASSERT_NE(Value(account.IniPath(), "passProtected"), "<none>") << account.ReadIni();
    EXPECT_EQ(ShownNext(), With([](Shown& s) { s.server = "127.0.0.2"; }));
}

// ---- the encryption list ----------------------------------------------------

struct PortSwitchCase {
    const char* name;
    int stored;         // "tls" in the file
    const char* typed;  // the port text when the item is chosen
    int chosen;
    const char* shown;  // the port text afterwards
};

void PrintTo(const PortSwitchCase& c, std::ostream* os)
{
    *os << c.name;
}

class PortSwitch : public SetupDialog, public ::testing::WithParamInterface<PortSwitchCase> {};

TEST_P(PortSwitch, FollowsTheChosenEncryptionOnlyFromTheUsualPort)
{
    account.WriteIni("[imap4]\r\nuse=0\r\nserver=imap.example.jp\r\nport=110\r\ntls=" +
                     std::to_string(GetParam().stored) + "\r\n");
    OpenFolder();
    size_t from = 0;
    HWND dialog = Open(&from);
    ASSERT_NE(dialog, nullptr);
    Type(dialog, PortId, GetParam().typed);
    Choose(dialog, GetParam().chosen);
    EXPECT_EQ(ItemText(dialog, PortId), GetParam().shown);
    ui::Press(dialog, IDCANCEL);
    EXPECT_EQ(Result(from), 2);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PortSwitch,
    ::testing::Values(PortSwitchCase{"SslTlsAt143Gives993", TlsNone, "143", TlsImplicit, "993"},
                      PortSwitchCase{"NoneAt993Gives143", TlsImplicit, "993", TlsNone, "143"},
                      PortSwitchCase{"StartTlsAt993Gives143", TlsImplicit, "993", TlsStartTls, "143"},
                      PortSwitchCase{"SslTlsAt110Stays", TlsNone, "110", TlsImplicit, "110"},
                      PortSwitchCase{"StartTlsAt143Stays", TlsNone, "143", TlsStartTls, "143"}),
    [](const ::testing::TestParamInfo<PortSwitchCase>& info) { return std::string(info.param.name); });

// A stored "tls" outside 0 to 2 is a fault in the file that the watcher
// refuses. The dialog must not hide it by saving plain text with other edits.
struct StoredTlsCase {
    const char* name;
    const char* stored; // "tls" in the file
};

void PrintTo(const StoredTlsCase& c, std::ostream* os)
{
    *os << c.name;
}

class StoredTlsOutOfRange : public SetupDialog, public ::testing::WithParamInterface<StoredTlsCase> {};

TEST_P(StoredTlsOutOfRange, ShowsNoChoiceAndKeepsTheValueUntilAnItemIsChosen)
{
    const std::string stored = GetParam().stored;
    const std::string file = "[imap4]\r\nuse=0\r\nserver=imap.example.jp\r\nport=993\r\ntls=" + stored + "\r\n";
    account.WriteIni(file);
    OpenFolder();
    EXPECT_EQ(ShownNext().tls, -1);

    EXPECT_EQ(Run([](HWND) {}, IDOK), 2) << "no choice is no change";
    EXPECT_EQ(account.ReadIni(), file);

    EXPECT_EQ(Run([](HWND d) { Type(d, UserId, "hanako"); }, IDOK), 1);
    EXPECT_EQ(Value(account.IniPath(), "user"), "hanako");
    EXPECT_EQ(Value(account.IniPath(), "tls"), stored);
    EXPECT_EQ(ShownNext().tls, -1);

    EXPECT_EQ(Run([](HWND d) { Choose(d, TlsNone); }, IDOK), 1);
    EXPECT_EQ(Value(account.IniPath(), "tls"), "0");
    EXPECT_EQ(ShownNext().tls, TlsNone);
}

INSTANTIATE_TEST_SUITE_P(Values, StoredTlsOutOfRange,
                         ::testing::Values(StoredTlsCase{"AboveTheItems", "3"}, StoredTlsCase{"Negative", "-1"}),
                         [](const ::testing::TestParamInfo<StoredTlsCase>& info) {
                             return std::string(info.param.name);
                         });

// ---- closing without OK --------------------------------------------------------

struct CloseCase {
    const char* name;
    std::function<void(HWND)> close;
    int result;
};

void PrintTo(const CloseCase& c, std::ostream* os)
{
    *os << c.name;
}

class ClosedWithoutOk : public SetupDialog, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(ClosedWithoutOk, DiscardsTheEdits)
{
    account.WriteIni(Filled);
    OpenFolder();
    size_t from = 0;
    HWND dialog = Open(&from);
    ASSERT_NE(dialog, nullptr);
    Type(dialog, ServerId, "other.example.jp");
    Check(dialog, UseId, true);
    GetParam().close(dialog);
    EXPECT_EQ(Result(from), GetParam().result);
    EXPECT_TRUE(ui::WaitForWindowGone(dialog, 10000));
    EXPECT_EQ(account.ReadIni(), Filled);
    EXPECT_EQ(ShownNext(), FilledShown);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, ClosedWithoutOk,
    ::testing::Values(CloseCase{"CloseBox", [](HWND d) { PostMessageA(d, WM_SYSCOMMAND, SC_CLOSE, 0); }, 0},
                      CloseCase{"CloseMessage", [](HWND d) { PostMessageA(d, WM_CLOSE, 0, 0); }, 0},
                      CloseCase{"CancelButton", [](HWND d) { ui::Press(d, IDCANCEL); }, 2},
                      CloseCase{"EscapeKey",
                                [](HWND d) {
                                    HWND edit = GetDlgItem(d, ServerId);
                                    PostMessageA(edit, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
                                    PostMessageA(edit, WM_KEYUP, VK_ESCAPE, 0xC0010001);
                                },
                                2}),
    [](const ::testing::TestParamInfo<CloseCase>& info) { return std::string(info.param.name); });

// ---- the dialog template -------------------------------------------------------

// Reads an extended dialog template as the dialog manager does.
struct TemplateReader {
    const BYTE* at;

    WORD Word()
    {
        WORD value;
        memcpy(&value, at, sizeof value);
        at += sizeof value;
        return value;
    }
    DWORD Dword()
    {
        DWORD value;
        memcpy(&value, at, sizeof value);
        at += sizeof value;
        return value;
    }
    short Short() { return static_cast<short>(Word()); }
    BYTE Byte() { return *at++; }
    void AlignDword(const BYTE* base)
    {
        while ((at - base) % 4)
            ++at;
    }
    // A text in code page 932, or "#<n>" for an ordinal.
    std::string TextOrOrdinal()
    {
        if (Word() == 0xFFFF)
            return "#" + std::to_string(Word());
        at -= 2;
        std::wstring wide;
        for (WORD c; (c = Word()) != 0;)
            wide += static_cast<wchar_t>(c);
        char text[512] = "";
        WideCharToMultiByte(932, 0, wide.c_str(), -1, text, sizeof text, NULL, NULL);
        return text;
    }
};

struct TemplateItem {
    DWORD id;
    std::string className; // the predefined classes by ordinal are named
    std::string text;
    DWORD style;
    short x, y, cx, cy;
};

std::string ClassName(const std::string& stored)
{
    if (stored == "#128")
        return "button";
    if (stored == "#129")
        return "edit";
    if (stored == "#130")
        return "static";
    if (stored == "#133")
        return "combobox";
    std::string lower = stored;
    for (char& c : lower)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return lower;
}

TEST(SetupDialogTemplate, IsDialog101InJapaneseOf215By173UnitsWithItsControlsInTabOrder)
{
    HMODULE module = LoadLibraryExA("qvpush.dll", NULL, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    HRSRC resource = FindResourceExA(module, reinterpret_cast<LPCSTR>(RT_DIALOG), MAKEINTRESOURCEA(101),
                                     MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT));
    ASSERT_NE(resource, nullptr) << "no Japanese dialog 101";
    const BYTE* base = static_cast<const BYTE*>(LockResource(LoadResource(module, resource)));
    ASSERT_NE(base, nullptr);
    TemplateReader r{base};

    EXPECT_EQ(r.Word(), 1) << "extended template version";
    EXPECT_EQ(r.Word(), 0xFFFF) << "extended template signature";
    EXPECT_EQ(r.Dword(), 0u) << "help id";
    EXPECT_EQ(r.Dword(), 0u) << "extended style";
    EXPECT_EQ(r.Dword(), static_cast<DWORD>(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT));
    WORD count = r.Word();
    EXPECT_EQ(r.Short(), 0);
    EXPECT_EQ(r.Short(), 0);
    EXPECT_EQ(r.Short(), 215);
    EXPECT_EQ(r.Short(), 173);
    EXPECT_EQ(r.TextOrOrdinal(), "") << "menu";
    EXPECT_EQ(r.TextOrOrdinal(), "") << "class";
    EXPECT_EQ(r.TextOrOrdinal(), "QV-PUSH設定(IMAP4)");
    EXPECT_EQ(r.Word(), 11) << "point size";
    EXPECT_EQ(r.Word(), 400) << "weight";
    EXPECT_EQ(r.Byte(), 0) << "italic";
    EXPECT_EQ(r.Byte(), 128) << "character set";
    EXPECT_EQ(r.TextOrOrdinal(), "ＭＳ Ｐゴシック");

    const DWORD child = WS_CHILD | WS_VISIBLE;
    const DWORD none = static_cast<DWORD>(-1);
    const TemplateItem expected[] = {
        {1001, "button", "IMAP4サーバー接続時にメール受信を行う", child | BS_AUTOCHECKBOX | WS_TABSTOP, 11, 95, 167, 10},
        {none, "static", "IMAP4サーバー名", child | SS_LEFT | WS_GROUP, 11, 25, 64, 8},
        {1002, "edit", "", child | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 80, 23, 131, 14},
        {none, "static", "ポート番号", child | SS_LEFT | WS_GROUP, 11, 43, 64, 8},
        {1003, "edit", "", child | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 80, 40, 44, 14},
        {none, "static", "暗号化", child | SS_LEFT | WS_GROUP, 132, 43, 26, 8},
        {1007, "combobox", "", child | CBS_DROPDOWNLIST | WS_TABSTOP, 160, 41, 51, 60},
        {none, "static", "ユーザー名", child | SS_LEFT | WS_GROUP, 11, 61, 64, 8},
        {1004, "edit", "", child | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 80, 58, 131, 14},
        {none, "static", "パスワード", child | SS_LEFT | WS_GROUP, 11, 80, 64, 8},
        {1005, "edit", "", child | ES_PASSWORD | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 80, 76, 131, 14},
        // Below the check box: the status line, two lines tall and full
        // width, then the test and certificate buttons; after the password
        // field the tab order runs 1011, 1012, OK, Cancel.
        {1010, "static", "", child | SS_LEFT | SS_NOPREFIX, 11, 109, 200, 18},
        {1011, "button", "接続テスト", child | BS_PUSHBUTTON | WS_TABSTOP, 11, 131, 60, 14},
        {1012, "button", "証明書…", child | BS_PUSHBUTTON | WS_DISABLED | WS_TABSTOP, 75, 131, 60, 14},
        {IDOK, "button", "OK", child | BS_DEFPUSHBUTTON | WS_TABSTOP, 80, 153, 50, 14},
        {IDCANCEL, "button", "キャンセル", child | BS_PUSHBUTTON | WS_TABSTOP, 161, 153, 50, 14},
        {1006, "button", "この機能を使う", child | BS_AUTOCHECKBOX | WS_TABSTOP, 13, 8, 89, 10},
    };
    ASSERT_EQ(count, sizeof expected / sizeof expected[0]);
    for (const TemplateItem& item : expected) {
        SCOPED_TRACE("control " + std::to_string(static_cast<int>(item.id)));
        r.AlignDword(base);
        EXPECT_EQ(r.Dword(), 0u) << "help id";
        EXPECT_EQ(r.Dword(), 0u) << "extended style";
        EXPECT_EQ(r.Dword(), item.style);
        EXPECT_EQ(r.Short(), item.x);
        EXPECT_EQ(r.Short(), item.y);
        EXPECT_EQ(r.Short(), item.cx);
        EXPECT_EQ(r.Short(), item.cy);
        EXPECT_EQ(r.Dword(), item.id);
        EXPECT_EQ(ClassName(r.TextOrOrdinal()), item.className);
        EXPECT_EQ(r.TextOrOrdinal(), item.text);
        EXPECT_EQ(r.Word(), 0) << "creation data";
    }
    FreeLibrary(module);
}

// The encryption list and its label, as the dialog shows them: beside the
// port field, which keeps its place, over no other control, and next after
// the port field when tabbing.
TEST_F(SetupDialog, EncryptionListBesideThePortFieldWithItsThreeItems)
{
    account.WriteIni(Filled);
    OpenFolder();
    size_t from = 0;
    HWND dialog = Open(&from);
    ASSERT_NE(dialog, nullptr);
    HWND list = GetDlgItem(dialog, TlsId);
    HWND port = GetDlgItem(dialog, PortId);
    ASSERT_NE(list, nullptr);
    HWND label = NULL;
    for (const ui::Child& child : ui::Children(dialog))
        if (child.text == "暗号化")
            label = child.window;
    ASSERT_NE(label, nullptr) << "no label 暗号化";

    char className[64] = "";
    GetClassNameA(list, className, sizeof className);
    EXPECT_STRCASEEQ(className, "ComboBox");
    LONG style = GetWindowLongA(list, GWL_STYLE);
    EXPECT_EQ(style & 3, CBS_DROPDOWNLIST);
    EXPECT_TRUE(style & WS_TABSTOP);
    EXPECT_TRUE(IsWindowVisible(list));
    std::vector<std::string> items;
    int count = static_cast<int>(SendMessageA(list, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        char item[64] = "";
        if (SendMessageA(list, CB_GETLBTEXTLEN, i, 0) < static_cast<LRESULT>(sizeof item))
            SendMessageA(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item));
        items.push_back(item);
    }
    EXPECT_EQ(items, (std::vector<std::string>{"なし", "SSL/TLS", "STARTTLS"}));

    // Rectangles in the dialog's client coordinates.
    auto Place = [dialog](HWND control) {
        RECT r;
        GetWindowRect(control, &r);
        MapWindowPoints(NULL, dialog, reinterpret_cast<POINT*>(&r), 2);
        return r;
    };
    RECT portWhere = {80, 40, 80 + 44, 40 + 14};
    MapDialogRect(dialog, &portWhere);
    RECT portRect = Place(port);
    EXPECT_TRUE(EqualRect(&portRect, &portWhere)) << "the port field moved";

    RECT client;
    GetClientRect(dialog, &client);
    for (HWND added : {label, list}) {
        RECT r = Place(added);
        SCOPED_TRACE(added == list ? "the list" : "its label");
        EXPECT_GE(r.left, portRect.right) << "right of the port field";
        EXPECT_LT(r.top, portRect.bottom) << "on the port field's row";
        EXPECT_GT(r.bottom, portRect.top) << "on the port field's row";
        EXPECT_LE(r.right, client.right) << "inside the dialog";
        for (const ui::Child& other : ui::Children(dialog)) {
            if (other.window == added || GetParent(other.window) != dialog || !IsWindowVisible(other.window))
                continue;
            RECT o = Place(other.window), both;
            EXPECT_FALSE(IntersectRect(&both, &r, &o))
                << "overlaps control " << other.id << " \"" << other.text << "\"";
        }
    }

    EXPECT_EQ(GetNextDlgTabItem(dialog, port, FALSE), list);
    ui::Press(dialog, IDCANCEL);
    EXPECT_EQ(Result(from), 2);
}

// ---- files that cannot be written -------------------------------------------

class UnwritableSettings : public SetupDialog {
protected:
    // Confirms a change, expects the error box naming the file, closes it,
    // and answers the flow's result.
    int ConfirmExpectingTheErrorBox(const std::string& file)
    {
        size_t from = 0;
        HWND dialog = Open(&from);
        EXPECT_NE(dialog, nullptr);
        if (dialog == NULL)
            return -100;
        Type(dialog, ServerId, "new.example.jp");
        ui::Press(dialog, IDOK);
        HWND box = ui::WaitForWindow("#32770", ErrorCaption, 10000, window);
        EXPECT_NE(box, nullptr) << "the failed save was not reported";
        if (box != NULL) {
            std::string text = ui::MessageBoxText(box);
            EXPECT_NE(text.find(file), std::string::npos) << text;
            EXPECT_EQ(ui::ButtonTexts(box), std::vector<std::string>{"OK"});
            EXPECT_EQ(standin::CountLog("QPCSetup(" + Hex(window) + ") -> ", from), 0)
                << "the box is shown inside the flow";
            ui::Press(box, IDOK);
        }
        return Result(from);
    }

    // The plug-in is still there: another dialog opens and closes.
    void ExpectPluginStillRuns()
    {
        size_t from = 0;
        HWND dialog = Open(&from);
        ASSERT_NE(dialog, nullptr) << "the plug-in no longer opens its dialog";
        ui::Press(dialog, IDCANCEL);
        EXPECT_EQ(Result(from), 2);
    }
};

TEST_F(UnwritableSettings, AccountFolderThatDoesNotExist)
{
    std::string missing = account.Folder() + "gone\\";
    window = standin::OpenFolder(missing);
    EXPECT_EQ(ConfirmExpectingTheErrorBox(missing + "qvpush.ini"), 1);
    EXPECT_EQ(GetFileAttributesA(missing.c_str()), INVALID_FILE_ATTRIBUTES) << "no folder may be created";
    ExpectPluginStillRuns();
}

TEST_F(UnwritableSettings, FileHeldOpenByAnotherProgram)
{
    account.WriteIni(Filled);
    OpenFolder();
    HANDLE holder = CreateFileA(account.IniPath().c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ConfirmExpectingTheErrorBox(account.IniPath()), 1);
    CloseHandle(holder);
    EXPECT_EQ(account.ReadIni(), Filled);
    ExpectPluginStillRuns();
}

TEST_F(UnwritableSettings, ReadOnlyFile)
{
    account.WriteIni(Filled);
    account.SetIniReadOnly(true);
    // Wine lets root write a read-only file; the immutable flag stops root too.
    testing_support::ImmutableFile immutable(account.IniPath());
    ASSERT_TRUE(immutable.Holds()) << immutable.Error();
    OpenFolder();
    EXPECT_EQ(ConfirmExpectingTheErrorBox(account.IniPath()), 1);
    EXPECT_EQ(account.ReadIni(), Filled);
    ExpectPluginStillRuns();
}

} // namespace
