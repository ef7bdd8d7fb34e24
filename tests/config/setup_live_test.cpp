// The setup dialog with a live watcher behind it: qvpush.dll in the stand-in
// host, Dovecot, the scripted TLS peer and scripted servers on loopback. The
// status line in each of the watcher's states, the connection test with the
// values in the dialog, and trusting a certificate the test refused.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>

#include <functional>
#include <regex>
#include <string>

#include "standin/host.h"
#include "support/dovecot.h"
#include "support/host_fixture.h"
#include "support/script_server.h"
#include "support/temp_account.h"
#include "support/ui.h"
#include "watch/account_ini.h"
#include "watch/dovecot_account.h"

using testing_support::TempAccount;

namespace {

const char DialogTitle[] = "QV-PUSH設定(IMAP4)";
const char ErrorCaption[] = "QV-PUSH エラー発生";
const char CertificateCaption[] = "サーバー証明書";
const char Testing[] = "テスト中…";
const char Ellipsis[] = "…";

const int ServerId = 1002, PortId = 1003, UserId = 1004, PassId = 1005, UseId = 1006, TlsId = 1007;
const int StatusId = 1010, TestId = 1011, CertificateId = 1012;

std::string ItemText(HWND dialog, int id)
{
    char text[1024] = "";
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
}

bool Enabled(HWND dialog, int id)
{
    return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE;
}

// The status line shows `expected`, or as much of it as fits in its two
// lines followed by an ellipsis.
bool Shows(const std::string& shown, const std::string& expected)
{
    if (shown == expected)
        return true;
    size_t cut = shown.size() - (sizeof Ellipsis - 1);
    return shown.size() > sizeof Ellipsis && shown.compare(cut, std::string::npos, Ellipsis) == 0 &&
           expected.compare(0, cut, shown, 0, cut) == 0;
}

// The local clock now, as "HH:MM" (or with seconds).
std::string Clock(bool seconds = false, int addSeconds = 0)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER t;
    t.LowPart = now.dwLowDateTime;
    t.HighPart = now.dwHighDateTime;
    t.QuadPart += static_cast<LONGLONG>(addSeconds) * 10000000LL;
    now.dwLowDateTime = t.LowPart;
    now.dwHighDateTime = t.HighPart;
    SYSTEMTIME utc, local;
    FileTimeToSystemTime(&now, &utc);
    SystemTimeToTzSpecificLocalTime(NULL, &utc, &local);
    char text[16];
    if (seconds)
        snprintf(text, sizeof text, "%02u:%02u:%02u", local.wHour, local.wMinute, local.wSecond);
    else
        snprintf(text, sizeof text, "%02u:%02u", local.wHour, local.wMinute);
    return text;
}

std::string Value(const std::string& file, const char* key)
{
    char text[1024];
    GetPrivateProfileStringA("imap4", key, "<none>", text, sizeof text, file.c_str());
    return text;
}

// A loopback port on which nothing listens.
int ClosedPort()
{
    ScriptServer server;
    int port = server.Port();
    server.StopListening();
    return port;
}

// The fingerprint in the test certificates' <name>.sha256.
std::string Fingerprint(const char* name)
{
    std::string text = testing_support::ReadFileBytes(std::string(QVPUSH_TLS_DIR) + "/" + name + ".sha256");
    while (!text.empty() && isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    return text;
}

class SetupLive : public HostTest {
public: // the table's cases reach in
    TempAccount account;
    HWND window = NULL;

    void SetUp() override
    {
        standin::CaptureTrace();
        HostTest::SetUp();
    }

    HWND OpenFolder() { return window = standin::OpenFolder(account.Folder()); }

    HWND OpenDialog(size_t* from = nullptr)
    {
        if (from != nullptr)
            *from = standin::LogSize();
        standin::PostSetup(window);
        return ui::WaitForWindow("#32770", DialogTitle, 10000, window);
    }

    int Result(size_t from)
    {
        std::string text = "QPCSetup(" + Hex(window) + ") -> ";
        long line = standin::WaitForLog(text, 10000, from);
        if (line < 0)
            return -100;
        std::string entry = standin::LogLines()[line];
        return atoi(entry.c_str() + entry.find(text) + text.size());
    }

    // Waits until the status line satisfies `holds`; answers what it showed
    // last.
    std::string WaitLine(HWND dialog, const std::function<bool(const std::string&)>& holds, DWORD timeoutMs)
    {
        std::string shown;
        standin::WaitUntil(
            [&] {
                shown = ItemText(dialog, StatusId);
                return holds(shown);
            },
            timeoutMs);
        return shown;
    }
    std::string WaitLine(HWND dialog, const std::string& expected, DWORD timeoutMs = 20000)
    {
        return WaitLine(dialog, [&](const std::string& s) { return Shows(s, expected); }, timeoutMs);
    }

    // Presses 接続テスト and waits for its result.
    std::string RunTest(HWND dialog, DWORD timeoutMs = 40000)
    {
        ui::Press(dialog, TestId);
        // The line says "テスト中…" until the result, which then stays.
        return WaitLine(
            dialog, [](const std::string& s) { return s.rfind("テスト成功", 0) == 0 || s.rfind("テスト失敗", 0) == 0; },
            timeoutMs);
    }

    void TypeSettings(HWND dialog, const std::string& server, int port, int tls, const std::string& user,
                      const std::string& pass)
    {
        SetDlgItemTextA(dialog, ServerId, server.c_str());
        SetDlgItemTextA(dialog, UserId, user.c_str());
        SetDlgItemTextA(dialog, PassId, pass.c_str());
        HWND list = GetDlgItem(dialog, TlsId);
        SendMessageA(list, CB_SETCURSEL, tls, 0);
        SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(TlsId, CBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
        SetDlgItemTextA(dialog, PortId, std::to_string(port).c_str());
    }

    void DismissErrorBox()
    {
        HWND box = ui::WaitForWindow("#32770", ErrorCaption, 20000, window);
        ASSERT_NE(box, nullptr) << "no connect-failed box";
        ui::Press(box, IDOK);
        ASSERT_TRUE(ui::WaitForWindowGone(box, 10000));
    }

    void Cancel(HWND dialog, size_t from)
    {
        ui::Press(dialog, IDCANCEL);
        EXPECT_EQ(Result(from), 2);
        EXPECT_TRUE(ui::WaitForWindowGone(dialog, 10000));
    }
};

// ---- the status line ------------------------------------------------------------

// The watcher's state in the dialog, one state per case: what the account's
// file and server are, what must have happened before the dialog opens, and
// the line it shows.
struct StatusCase {
    const char* name;
    // What follows the expected start of the line: nothing, the local time
    // the state began ("HH:MM から）"), or the time of the next attempt
    // and a reason ("HH:MM:SS に再試行）: <reason>").
    enum Tail { Nothing, Since, RetryAt } tail;
    const char* reason;
    // Prepares the account (and a server); answers the line expected.
    std::function<std::string(SetupLive*, ScriptServer*)> prepare;
    // Runs after the folder window opened, before the dialog opens.
    std::function<void(SetupLive*, ScriptServer*)> before;
};

void PrintTo(const StatusCase& c, std::ostream* os)
{
    *os << c.name;
}

class StatusLine : public SetupLive, public ::testing::WithParamInterface<StatusCase> {};

// A scripted server without IDLE: the watcher polls.
void ServeWithoutIdle(ScriptServer* server)
{
    ASSERT_TRUE(server->Accept(20000));
    server->Send("* OK [CAPABILITY IMAP4rev1] scripted\r\n");
    std::string tag = server->ExpectCommand("LOGIN taro abc");
    ASSERT_NE(tag, "") << server->LastLine();
    server->Send(tag + " OK [CAPABILITY IMAP4rev1] logged in\r\n");
    tag = server->ExpectCommand("SELECT INBOX");
    ASSERT_NE(tag, "") << server->LastLine();
    server->Send("* 0 EXISTS\r\n" + tag + " OK [READ-WRITE] selected\r\n");
}

AccountIni ScriptedIni(const ScriptServer& server)
{
    AccountIni ini;
    ini.port = server.Port();
    ini.user = "taro";
    ini.pass = "abc";
    ini.refreshTime = 1;
    return ini;
}

std::vector<StatusCase> StatusCases()
{
    return {
        {"IdleOnDovecot", StatusCase::Since, "",
         [](SetupLive* t, ScriptServer*) {
             WriteDovecotAccount(t->account.Folder());
             return std::string("状態: 新着を監視しています（IDLE、");
         },
         [](SetupLive* t, ScriptServer*) { ASSERT_GE(standin::WaitForLog("trace [01]IDLE mode", 20000), 0); }},
        {"PollingOnAServerWithoutIdle", StatusCase::Since, "",
         [](SetupLive* t, ScriptServer* server) {
             WriteAccountIni(t->account.Folder(), ScriptedIni(*server));
             return std::string("状態: 新着を監視しています（NOOP、1 分ごと、");
         },
         [](SetupLive*, ScriptServer* server) {
             ServeWithoutIdle(server);
             ASSERT_GE(standin::WaitForLog("trace [01]NOOP mode", 20000), 0);
         }},
        {"WaitingWithTheReasonOfTheFailure", StatusCase::RetryAt, "設定ファイルの tls の値が正しくありません",
         [](SetupLive* t, ScriptServer* server) {
             WriteAccountIni(t->account.Folder(), ScriptedIni(*server));
             WritePrivateProfileStringA("imap4", "tls", "5", t->account.IniPath().c_str());
             return std::string("状態: 再接続を待っています（");
         },
         [](SetupLive* t, ScriptServer*) { t->DismissErrorBox(); }},
        {"WaitingWithoutAReasonSaysTheServerCannotBeReached", StatusCase::RetryAt, "IMAP4サーバーへ接続できません",
         [](SetupLive* t, ScriptServer*) {
             AccountIni ini;
             ini.port = ClosedPort();
             WriteAccountIni(t->account.Folder(), ini);
             return std::string("状態: 再接続を待っています（");
         },
         [](SetupLive*, ScriptServer*) { ASSERT_GE(standin::WaitForLog("trace [01]retry in ", 20000), 0); }},
        {"StoppedAfterARefusedLogin", StatusCase::Nothing, "",
         [](SetupLive* t, ScriptServer*) {
             AccountIni ini;
             ini.pass = "wrong";
             WriteDovecotAccount(t->account.Folder(), ini);
             return std::string("状態: 止まっています（ログインが拒否されました）");
         },
         [](SetupLive* t, ScriptServer*) {
             // The box, then the dialog of its own that follows it, which
             // shows the same.
             t->DismissErrorBox();
             HWND dialog = ui::WaitForWindow("#32770", DialogTitle, 10000, t->window);
             ASSERT_NE(dialog, nullptr);
             EXPECT_EQ(t->WaitLine(dialog, "状態: 止まっています（ログインが拒否されました）"),
                       "状態: 止まっています（ログインが拒否されました）");
             ui::Press(dialog, IDCANCEL);
             ASSERT_TRUE(ui::WaitForWindowGone(dialog, 10000));
         }},
        {"StoppedWhereTheAccountIsSwitchedOff", StatusCase::Nothing, "",
         [](SetupLive* t, ScriptServer*) {
             AccountIni ini;
             ini.use = 0;
             WriteAccountIni(t->account.Folder(), ini);
             return std::string("状態: 止まっています（この機能を使わない設定です）");
         },
         nullptr},
        {"NoWatcherForAWindowTheHostClosedForThePlugin", StatusCase::Nothing, "",
         [](SetupLive* t, ScriptServer*) {
             AccountIni ini;
             ini.use = 0;
             WriteAccountIni(t->account.Folder(), ini);
             return std::string("状態: このアカウントのフォルダーウィンドウが開かれていません");
         },
         [](SetupLive* t, ScriptServer*) {
             // The host told the plug-in that the window closed; the window
             // itself, owner of the dialog, stays.
             HWND window = t->window;
             standin::Run([window] {
                 typedef int(WINAPI * Close)(HWND);
                 reinterpret_cast<Close>(standin::PluginEntry("QPCFolderClose"))(window);
             });
             ASSERT_GE(standin::WaitForLog("trace [01]thread terminated", 10000), 0);
         }},
    };
}

TEST_P(StatusLine, ShowsTheWatchersStateOfTheAccount)
{
    ScriptServer server;
    std::string expected = GetParam().prepare(this, &server);
    std::string clockBefore = Clock();
    OpenFolder();
    if (GetParam().before)
        GetParam().before(this, &server);
    if (HasFatalFailure())
        return;
    size_t from = 0;
    HWND dialog = OpenDialog(&from);
    ASSERT_NE(dialog, nullptr);
    std::string shown = WaitLine(dialog, [&](const std::string& s) { return s.rfind(expected, 0) == 0; }, 10000);
    std::string clockAfter = Clock();
    EXPECT_EQ(shown.substr(0, expected.size()), expected) << shown;
    std::string rest = shown.substr(std::min(shown.size(), expected.size()));
    std::smatch m;
    switch (GetParam().tail) {
    case StatusCase::Since:
        // The local time the state was entered, to the minute.
        ASSERT_TRUE(std::regex_match(rest, m, std::regex("(\\d\\d:\\d\\d) から）"))) << shown;
        EXPECT_TRUE(m[1] == clockBefore || m[1] == clockAfter) << shown << " between " << clockBefore << " and "
                                                              << clockAfter;
        break;
    case StatusCase::RetryAt:
        // The local time of the next attempt, to the second: a few seconds
        // ahead (the first retries come 3 s apart).
        ASSERT_TRUE(std::regex_match(rest, m, std::regex("(\\d\\d:\\d\\d:\\d\\d) に再試行）: (.*)"))) << shown;
        EXPECT_TRUE(m[1] >= Clock(true, -10) && m[1] <= Clock(true, 10)) << shown << " at " << Clock(true);
        EXPECT_EQ(std::string(m[2]), GetParam().reason) << shown;
        break;
    case StatusCase::Nothing:
        EXPECT_EQ(shown, expected);
        break;
    }
    Cancel(dialog, from);
}

INSTANTIATE_TEST_SUITE_P(States, StatusLine, ::testing::ValuesIn(StatusCases()),
                         [](const ::testing::TestParamInfo<StatusCase>& info) { return std::string(info.param.name); });

// The line follows the watcher while the dialog is open: connecting while
// the server holds back its greeting, then idling.
TEST_F(SetupLive, StatusLineFollowsTheWatcherWhileOpen)
{
    ScriptServer server;
    WriteAccountIni(account.Folder(), ScriptedIni(server));
    OpenFolder();
    ASSERT_TRUE(server.Accept(20000));
    size_t from = 0;
    HWND dialog = OpenDialog(&from);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(WaitLine(dialog, "状態: 接続しています…"), "状態: 接続しています…");
    server.Send("* OK [CAPABILITY IMAP4rev1 IDLE] scripted\r\n");
    std::string tag = server.ExpectCommand("LOGIN taro abc");
    ASSERT_NE(tag, "") << server.LastLine();
    server.Send(tag + " OK logged in\r\n");
    tag = server.ExpectCommand("SELECT INBOX");
    ASSERT_NE(tag, "") << server.LastLine();
    server.Send(tag + " OK [READ-WRITE] selected\r\n");
    tag = server.ExpectCommand("IDLE");
    ASSERT_NE(tag, "") << server.LastLine();
    server.Send("+ idling\r\n");
    std::string shown = WaitLine(dialog, [](const std::string& s) { return s.rfind("状態: 新着を監視しています（IDLE、", 0) == 0; },
                                 10000);
    EXPECT_EQ(shown.rfind("状態: 新着を監視しています（IDLE、", 0), 0u) << shown;
    Cancel(dialog, from);
}

// ---- the connection test ----------------------------------------------------------

struct TestCase {
    const char* name;
    // The values typed into the dialog: server, port, encryption, and
    // whether the password is the right one. Port offsets: from Dovecot's
    // port (plain and STARTTLS; + 10000 implicit TLS), from the TLS peer's
    // base port, or no server at all.
    enum Peer { Dovecot, DovecotImplicit, TlsPeer, Closed } peer;
    int peerOffset;
    const char* server;
    int tls;
    bool rightPassword;
    const char* pin; // tlsFingerprint in the file ("" none)
    const char* line;
    bool certificateOffered;
    bool cut = false; // longer than the line's two lines: it ends in an ellipsis
};

void PrintTo(const TestCase& c, std::ostream* os)
{
    *os << c.name;
}

class ConnectionTest : public SetupLive, public ::testing::WithParamInterface<TestCase> {};

const char* const ZeroPin = "0000000000000000000000000000000000000000000000000000000000000000";

TEST_P(ConnectionTest, GivesItsLineAndOffersOnlyATrustableCertificate)
{
    const TestCase& c = GetParam();
    std::string user = dovecot::UniqueUser("t");
    ASSERT_TRUE(dovecot::AddUser(user, "pw-" + user)) << dovecot::LastError();
    int port = 0;
    switch (c.peer) {
    case TestCase::Dovecot:
        port = dovecot::ImapPort();
        break;
    case TestCase::DovecotImplicit:
        port = dovecot::ImapPort() + 10000;
        break;
    case TestCase::TlsPeer:
        port = QVPUSH_TLS_PEER_PORT + c.peerOffset;
        break;
    case TestCase::Closed:
        port = ClosedPort();
        break;
    }
    // The file's own account is switched off: the test has nothing to do
    // with the watcher, and writes nothing.
    std::string file = "[imap4]\r\nuse=0\r\nserver=" + std::string(c.server) + "\r\ntlsFingerprint=" + c.pin +
                       "\r\ndebug=1\r\n";
    account.WriteIni(file);
    OpenFolder();
    size_t from = 0;
    HWND dialog = OpenDialog(&from);
    ASSERT_NE(dialog, nullptr);
    EXPECT_FALSE(Enabled(dialog, CertificateId)) << "before any test";
    TypeSettings(dialog, c.server, port, c.tls, user, c.rightPassword ? "pw-" + user : "wrong");
    std::string shown = RunTest(dialog);
    EXPECT_TRUE(Shows(shown, c.line)) << shown;
    EXPECT_EQ(shown != c.line, c.cut) << shown;
    EXPECT_TRUE(Enabled(dialog, TestId)) << "a second test can follow";
    EXPECT_EQ(Enabled(dialog, CertificateId), c.certificateOffered);
    Cancel(dialog, from);
    EXPECT_EQ(account.ReadIni(), file);
    EXPECT_EQ(Count("trace [01]connect to("), 0) << "the switched-off watcher was touched";
}

INSTANTIATE_TEST_SUITE_P(
    Servers, ConnectionTest,
    ::testing::Values(
        TestCase{"DovecotPlain", TestCase::Dovecot, 0, "127.0.0.1", 0, true, "",
                 "テスト成功: ログインして INBOX を開けました（IDLE 対応、暗号化なし）", false},
        TestCase{"DovecotStartTls", TestCase::Dovecot, 0, "localhost", 2, true, "",
                 "テスト成功: ログインして INBOX を開けました（IDLE 対応、TLS 1.2）", false},
        TestCase{"DovecotImplicitTls", TestCase::DovecotImplicit, 0, "localhost", 1, true, "",
                 "テスト成功: ログインして INBOX を開けました（IDLE 対応、TLS 1.2）", false},
        TestCase{"WrongPassword", TestCase::Dovecot, 0, "127.0.0.1", 0, false, "",
                 "テスト失敗: ユーザー名か、パスワードが違います", false},
        TestCase{"ClosedPort", TestCase::Closed, 0, "127.0.0.1", 0, true, "",
                 "テスト失敗: IMAP4サーバーへ接続できません", false},
        TestCase{"LoginDisabledInTheClear", TestCase::Dovecot, 0, "127.0.0.2", 0, true, "",
                 "テスト失敗: このサーバーは暗号化されていない接続でのログインを許可していません。設定の「暗号化」で "
                 "SSL/TLS か STARTTLS を選んでください",
                 false, true},
        TestCase{"CertificateForAnotherName", TestCase::TlsPeer, 1, "localhost", 1, true, "",
                 "テスト失敗: サーバー証明書の名前がサーバー名と一致しません", false},
        TestCase{"SelfSignedCertificate", TestCase::TlsPeer, 2, "localhost", 1, true, "",
                 "テスト失敗: サーバー証明書を信頼できません（発行元を確認できません）", true},
        TestCase{"ExpiredCertificate", TestCase::TlsPeer, 3, "localhost", 1, true, "",
                 "テスト失敗: サーバー証明書の有効期限が切れているか、まだ有効になっていません", false},
        TestCase{"LeafOfAnUntrustedCa", TestCase::TlsPeer, 4, "localhost", 1, true, "",
                 "テスト失敗: サーバー証明書を信頼できません（発行元を確認できません）", true},
        TestCase{"NotThePinnedCertificate", TestCase::TlsPeer, 0, "localhost", 1, true, ZeroPin,
                 "テスト失敗: サーバー証明書が指定された指紋と一致しません", true}),
    [](const ::testing::TestParamInfo<TestCase>& info) { return std::string(info.param.name); });

// A server that accepts and says nothing: the test gives up after 20 s.
TEST_F(SetupLive, SilentServerTimesOut)
{
    ScriptServer server;
    account.WriteIni("[imap4]\r\nuse=0\r\n");
    OpenFolder();
    size_t from = 0;
    HWND dialog = OpenDialog(&from);
    ASSERT_NE(dialog, nullptr);
    TypeSettings(dialog, "127.0.0.1", server.Port(), 0, "taro", "abc");
    ui::Press(dialog, TestId);
    ASSERT_TRUE(server.Accept(10000));
    EXPECT_EQ(ItemText(dialog, StatusId), Testing);
    EXPECT_FALSE(Enabled(dialog, TestId)) << "a second test while one runs";
    double pressed = standin::NowMs();
    std::string shown = RunTest(dialog, 40000);
    EXPECT_EQ(shown, "テスト失敗: 応答がありません");
    EXPECT_GT(standin::NowMs() - pressed, 15000.0) << "gave up before the time ran out";
    EXPECT_TRUE(server.WaitClosed(10000)) << "the connection stayed open";
    Cancel(dialog, from);
}

// Cancel while the test waits for a silent server: the dialog returns at once,
// and the test's helper ends by itself.
TEST_F(SetupLive, CancelDuringATestReturnsAtOnceAndTheHelperEnds)
{
    ScriptServer server;
    account.WriteIni("[imap4]\r\nuse=0\r\n");
    OpenFolder();
    size_t from = 0;
    HWND dialog = OpenDialog(&from);
    ASSERT_NE(dialog, nullptr);
    TypeSettings(dialog, "127.0.0.1", server.Port(), 0, "taro", "abc");
    ui::Press(dialog, TestId);
    ASSERT_TRUE(server.Accept(10000));
    double pressed = standin::NowMs();
    ui::Press(dialog, IDCANCEL);
    std::string returned = "QPCSetup(" + Hex(window) + ") -> 2";
    ASSERT_GE(standin::WaitForLog(returned, 10000, from), 0);
    double at = -1;
    for (const standin::TimedLine& line : standin::TimedLogLines(from))
        if (line.text.find(returned) != std::string::npos)
            at = line.ms;
    EXPECT_LT(at - pressed, 100.0) << "Cancel waited for the test";
    // The helper's stop closes its connection: nothing more is sent.
    EXPECT_TRUE(server.WaitClosed(10000)) << "the test's helper did not end";
    std::string line;
    EXPECT_FALSE(server.ReadLine(&line, 0)) << "sent after the stop: " << line;
}

// ---- trusting a certificate ---------------------------------------------------

class Trust : public SetupLive {
protected:
    std::string file;

    // A switched-on account in the dialog, on the TLS peer's self-signed
    // port; the file holds it switched off.
    HWND OpenOnSelfSignedPeer(size_t* from)
    {
        file = "[imap4]\r\nuse=0\r\nserver=localhost\r\nport=" + std::to_string(QVPUSH_TLS_PEER_PORT + 2) +
               "\r\nuser=taro\r\npass=FiY2\r\ntls=1\r\ndebug=1\r\n";
        account.WriteIni(file);
        OpenFolder();
        HWND dialog = OpenDialog(from);
        if (dialog == NULL)
            return NULL;
        std::string shown = RunTest(dialog);
        EXPECT_EQ(shown, "テスト失敗: サーバー証明書を信頼できません（発行元を確認できません）");
        EXPECT_TRUE(Enabled(dialog, CertificateId));
        return dialog;
    }

    // 証明書…: the box, its text, and the answer.
    void AnswerCertificateBox(HWND dialog, int answer)
    {
        ui::Press(dialog, CertificateId);
        HWND box = ui::WaitForWindow("#32770", CertificateCaption, 10000, dialog);
        ASSERT_NE(box, nullptr) << "no certificate box";
        std::string text = ui::MessageBoxText(box);
        const std::string expected[] = {
            "発行先: O=qvpush tests, CN=localhost",
            "発行者: O=qvpush tests, CN=localhost",
            "有効期間: ",
            "証明書に書かれている名前: localhost, 127.0.0.1",
            "証明書の指紋 (SHA-256): " + Fingerprint("selfsigned"),
            "理由: サーバー証明書を信頼できません（発行元を確認できません）",
            "この証明書を信頼して、このサーバーに接続しますか？",
        };
        size_t at = 0;
        for (const std::string& part : expected) {
            size_t found = text.find(part, at);
            EXPECT_NE(found, std::string::npos) << "missing in order: " << part << "\n" << text;
            if (found != std::string::npos)
                at = found + part.size();
        }
        EXPECT_EQ(ui::ButtonTexts(box).size(), 2u);
        ui::Press(box, answer);
        ASSERT_TRUE(ui::WaitForWindowGone(box, 10000));
    }
};

TEST_F(Trust, YesThenOkSavesTheFingerprintAndTheWatcherReachesIdle)
{
    size_t from = 0;
    HWND dialog = OpenOnSelfSignedPeer(&from);
    ASSERT_NE(dialog, nullptr);
    AnswerCertificateBox(dialog, IDYES);
    EXPECT_EQ(WaitLine(dialog, "テスト: 証明書を信頼します（OK で保存）"), "テスト: 証明書を信頼します（OK で保存）");
    EXPECT_FALSE(Enabled(dialog, CertificateId)) << "trusted already";
    // A second test with the kept fingerprint passes.
    EXPECT_EQ(RunTest(dialog), "テスト成功: ログインして INBOX を開けました（IDLE 対応、TLS 1.2）");
    SendMessageA(GetDlgItem(dialog, UseId), BM_SETCHECK, BST_CHECKED, 0);
    size_t beforeOk = standin::LogSize();
    ui::Press(dialog, IDOK);
    EXPECT_EQ(Result(from), 1);
    EXPECT_EQ(Value(account.IniPath(), "tlsFingerprint"), Fingerprint("selfsigned"));
    EXPECT_GE(standin::WaitForLog("trace [01]IDLE mode", 20000, beforeOk), 0) << "the watcher did not reach IDLE";
}

TEST_F(Trust, NoLeavesTheFileAsItWas)
{
    size_t from = 0;
    HWND dialog = OpenOnSelfSignedPeer(&from);
    ASSERT_NE(dialog, nullptr);
    AnswerCertificateBox(dialog, IDNO);
    EXPECT_EQ(RunTest(dialog), "テスト失敗: サーバー証明書を信頼できません（発行元を確認できません）");
    ui::Press(dialog, IDOK);
    EXPECT_EQ(Result(from), 2) << "nothing changed";
    EXPECT_EQ(account.ReadIni(), file);
}

// A pin saved for one server is dropped when the server's name changes, and
// the line says so; back to the name, it stays.
TEST_F(Trust, ANewServerNameDropsThePin)
{
    const std::string pin = Fingerprint("selfsigned");
    file = "[imap4]\r\nuse=0\r\nserver=localhost\r\nport=993\r\ntls=1\r\ntlsFingerprint=" + pin + "\r\n";
    account.WriteIni(file);
    OpenFolder();
    size_t from = 0;
    HWND dialog = OpenDialog(&from);
    ASSERT_NE(dialog, nullptr);
    const char dropped[] = "テスト: サーバー名が変わったため、信頼した証明書の指紋を外します（OK で保存）";
    SetDlgItemTextA(dialog, ServerId, "127.0.0.1");
    EXPECT_TRUE(Shows(WaitLine(dialog, dropped), dropped));
    SetDlgItemTextA(dialog, ServerId, "LOCALHOST");
    std::string shown = WaitLine(dialog, [&](const std::string& s) { return !Shows(s, dropped); }, 10000);
    EXPECT_EQ(shown, "状態: 止まっています（この機能を使わない設定です）");
    SetDlgItemTextA(dialog, ServerId, "127.0.0.1");
    ui::Press(dialog, IDOK);
    EXPECT_EQ(Result(from), 1);
    EXPECT_EQ(Value(account.IniPath(), "server"), "127.0.0.1");
    EXPECT_EQ(Value(account.IniPath(), "tlsFingerprint"), "<none>");
}

} // namespace
