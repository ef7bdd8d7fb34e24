// Account watchers end to end: qvpush.dll inside the stand-in host, a real
// Dovecot (or a scripted server) on loopback, and the host's own windows.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "standin/host.h"
#include "support/dovecot.h"
#include "support/host_fixture.h"
#include "support/protected_password.h"
#include "support/script_server.h"
#include "support/immutable_file.h"
#include "support/temp_account.h"
#include "support/trace_file_lines.h"
#include "support/ui.h"
#include "watch/dovecot_account.h"

using testing_support::ReadFileBytes;
using testing_support::TempAccount;
using testing_support::TraceFileEntries;
using testing_support::TraceFileEntry;

namespace {

const char ErrorCaption[] = "QV-PUSH エラー発生";
const char SetupTitle[] = "QV-PUSH設定(IMAP4)";

class Watchers : public HostTest {
protected:
    void SetUp() override
    {
        standin::CaptureTrace();
        HostTest::SetUp();
    }

    std::string MailCommandOn(HWND window)
    {
        return "command " + std::to_string(Command(0)) + " (callback 1) on " + Hex(window);
    }
};

TEST_F(Watchers, OneAccountTwoWindowsShareOneConnection)
{
    TempAccount account;
    std::string user = WriteDovecotAccount(account.Folder());
    HWND first = standin::OpenFolder(account.Folder());
    HWND second = standin::OpenFolder(account.Folder());
    long idle = WaitFor("trace [01]IDLE mode", 20000);
    ASSERT_GE(idle, 0);
    EXPECT_EQ(Count("trace [01]connect to("), 1);
    EXPECT_EQ(Count("trace [02]"), 0) << "a second watcher was made for the same account";
    EXPECT_EQ(dovecot::Connections(user), 1);

    ASSERT_GT(dovecot::Deliver(user, "one"), 0.0);
    ASSERT_GE(WaitFor(MailCommandOn(first), 20000), 0) << "notices go to the first window";

    standin::CloseFolder(first);
    EXPECT_GE(WaitFor("trace [01]Window Count=1"), 0);
    long mark2 = static_cast<long>(standin::LogSize());
    ASSERT_GT(dovecot::Deliver(user, "two"), 0.0);
    ASSERT_GE(standin::WaitForLog(MailCommandOn(second), 20000, mark2), 0)
        << "the second window did not become the notice target";

    standin::CloseFolder(second);
    long ended = WaitFor("trace [01]thread terminated");
    ASSERT_GE(ended, 0);
    EXPECT_LT(WaitFor("trace [01]Window Count=0"), ended);
    EXPECT_LT(WaitFor("trace [01]set Terminate"), ended);
    EXPECT_LT(WaitFor("trace [01]thread end"), ended);
    // The server sees the connection go.
    EXPECT_TRUE(dovecot::WaitConnections(user, 0, 20000)) << dovecot::Connections(user) << " still open";
    EXPECT_EQ(dovecot::Logins(user), 1);
}

TEST_F(Watchers, AccountFoldersAreKeysByteForByte)
{
    TempAccount account;
    std::string user = WriteDovecotAccount(account.Folder());
    std::string upper = account.Folder();
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    ASSERT_NE(upper, account.Folder());

    HWND lower = standin::OpenFolder(account.Folder());
    HWND other = standin::OpenFolder(upper); // the same folder on disk, another key
    ASSERT_GE(WaitFor("trace [01]IDLE mode", 20000), 0);
    ASSERT_GE(WaitFor("trace [02]IDLE mode", 20000), 0);
    EXPECT_TRUE(dovecot::WaitLogins(user, 2)) << dovecot::Logins(user) << " logins";

    standin::CloseFolder(lower);
    standin::CloseFolder(other);
    ASSERT_GE(WaitFor("trace [02]thread terminated"), 0);

    // Serials are never reused.
    HWND again = standin::OpenFolder(account.Folder());
    EXPECT_GE(WaitFor("trace [03]IDLE mode", 20000), 0);
    standin::CloseFolder(again);
}

TEST_F(Watchers, FolderLoadWithAnotherAccountMovesTheWindow)
{
    TempAccount a;
    TempAccount b;
    WriteDovecotAccount(a.Folder());
    WriteDovecotAccount(b.Folder());
    HWND window = standin::OpenFolder(a.Folder());
    HWND stays = standin::OpenFolder(b.Folder());
    ASSERT_GE(WaitFor("trace [01]IDLE mode", 20000), 0);
    ASSERT_GE(WaitFor("trace [02]IDLE mode", 20000), 0);

    // Unchanged account: the load leaves the one attachment.
    standin::LoadFolder(window);
    EXPECT_GE(WaitFor("QPCFolderLoad(" + Hex(window) + ") -> 0"), 0);

    // The window now shows account b: a's watcher, left without windows, ends;
    // b's watcher takes the window as its second.
    standin::SetAccount(window, b.Folder());
    standin::LoadFolder(window);
    EXPECT_GE(WaitFor("trace [01]thread terminated"), 0);
    EXPECT_GE(WaitFor("QPCFolderLoad(" + Hex(window) + ") -> 2"), 0);
    EXPECT_EQ(Count("trace [03]"), 0);

    standin::CloseFolder(stays);
    EXPECT_GE(WaitFor("trace [02]Window Count=1"), 0);
    EXPECT_EQ(Count("trace [02]thread terminated"), 0);
}

TEST_F(Watchers, NewMailRunsTheHostsWholeReceivePath)
{
    TempAccount account;
    std::string user = WriteDovecotAccount(account.Folder());
    HWND window = standin::OpenFolder(account.Folder());
    long idle = WaitFor("trace [01]IDLE mode", 20000);
    ASSERT_GE(idle, 0);
    ASSERT_GT(dovecot::Deliver(user, "hello"), 0.0);

    // Each step of the road, in order.
    const std::string steps[] = {
        "Received MAIL",
        MailCommandOn(window),
        "_QPASetTimer(20, ",
        "WM_INITMENUPOPUP tools on " + Hex(window),
        "WM_COMMAND id=" + std::to_string(standin::SendReceiveItemId) + " lParam=1000 on " + Hex(window),
        "receive dialog opened for " + Hex(window),
        "QPCFolderEndRetrieve(" + Hex(window) + ") -> 1",
        "command " + std::to_string(Command(1)) + " (callback 2) on " + Hex(window),
        "receive dialog OK pressed for " + Hex(window),
    };
    long at = idle;
    for (const std::string& step : steps) {
        at = standin::WaitForLog(step, 20000, at);
        ASSERT_GE(at, 0) << "missing: " << step;
    }
    EXPECT_EQ(Count("lParam=1000"), 1);
}

TEST_F(Watchers, RejectedLoginShowsItsBoxThenTheSetupDialogAndCancelLeavesItIdle)
{
    TempAccount account;
    AccountIni ini;
    ini.pass = "wrong";
    std::string user = WriteDovecotAccount(account.Folder(), ini);
    std::string iniBefore = account.ReadIni();
    HWND window = standin::OpenFolder(account.Folder());

    HWND box = ui::WaitForWindow("#32770", ErrorCaption, 20000, window);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(ui::MessageBoxText(box), "ユーザー名か、パスワードが違います");
    ui::Press(box, IDOK);
    HWND setup = ui::WaitForWindow("#32770", SetupTitle, 10000, window);
    ASSERT_NE(setup, nullptr) << "the setup dialog did not follow the box";
    ui::Press(setup, IDCANCEL);
    ASSERT_TRUE(ui::WaitForWindowGone(setup, 10000));

    // The login-failed command has run to its end.
    std::string loginFailed = "command " + std::to_string(Command(3));
    ASSERT_GE(WaitFor(loginFailed + " returned"), 0);

    // A retry would come within 3 s; watch for twice that.
    EXPECT_TRUE(standin::NoLogFor("trace [01]connect to(", 6000, standin::LogSize()));
    EXPECT_EQ(Count("trace [01]connect to("), 1);
    EXPECT_EQ(dovecot::Logins(user), 0);
    EXPECT_EQ(Count(loginFailed + " (callback 4)"), 1) << "the rejected login was reported again";
    EXPECT_EQ(ui::WaitForWindow("#32770", ErrorCaption, 0, window), nullptr);
    EXPECT_EQ(account.ReadIni(), iniBefore) << "a cancelled dialog saved something";
}

TEST_F(Watchers, RejectedLoginThenTheRightPasswordConfirmedReconnects)
{
    TempAccount account;
    AccountIni ini;
    ini.pass = "wrong";
    std::string user = WriteDovecotAccount(account.Folder(), ini);
    HWND window = standin::OpenFolder(account.Folder());

    HWND box = ui::WaitForWindow("#32770", ErrorCaption, 20000, window);
    ASSERT_NE(box, nullptr);
    ui::Press(box, IDOK);
    HWND setup = ui::WaitForWindow("#32770", SetupTitle, 10000, window);
    ASSERT_NE(setup, nullptr);
    SetDlgItemTextA(setup, 1005, ("pw-" + user).c_str());
    ui::Press(setup, IDOK);
    ASSERT_TRUE(ui::WaitForWindowGone(setup, 10000));

    ASSERT_GE(WaitFor("trace [01]IDLE mode", 20000), 0) << "the corrected password did not reconnect";
    EXPECT_TRUE(dovecot::WaitLogins(user, 1)) << dovecot::Logins(user) << " logins";
    EXPECT_EQ(Count("trace [02]"), 0) << "the running watcher should reconnect, not a new one";
}

// A password the file holds encrypted, but not for this Windows user (the
// file came from another PC, or another program made the value).
struct UnreadableCase {
    const char* name;
    std::string (*stored)();
};

void PrintTo(const UnreadableCase& c, std::ostream* os)
{
    *os << c.name;
}

class UnreadablePassword : public Watchers, public ::testing::WithParamInterface<UnreadableCase> {};

TEST_P(UnreadablePassword, SendsNoLoginAndAsksForThePasswordAgain)
{
    ScriptServer server;
    TempAccount account;
    AccountIni ini;
    ini.port = server.Port();
    ini.user = "alice";
    WriteAccountIni(account.Folder(), ini);
    const std::string file = account.IniPath();
    WritePrivateProfileStringA("imap4", "pass", NULL, file.c_str());
    WritePrivateProfileStringA("imap4", "passProtected", GetParam().stored().c_str(), file.c_str());
    WritePrivateProfileStringA(NULL, NULL, NULL, file.c_str());
    HWND window = standin::OpenFolder(account.Folder());

    HWND box = ui::WaitForWindow("#32770", ErrorCaption, 20000, window);
    ASSERT_NE(box, nullptr) << "no wrong-password box";
    EXPECT_EQ(ui::MessageBoxText(box), "ユーザー名か、パスワードが違います");
    EXPECT_FALSE(server.Accept(0)) << "connected without a password to log in with";
    EXPECT_EQ(Count(" LOGIN "), 0);
    ui::Press(box, IDOK);
    HWND setup = ui::WaitForWindow("#32770", SetupTitle, 10000, window);
    ASSERT_NE(setup, nullptr) << "the setup dialog did not follow the box";
    char shown[100] = "(unread)";
    GetDlgItemTextA(setup, 1005, shown, sizeof shown);
    EXPECT_STREQ(shown, "");

    // The password typed again is used, and saved for this user.
    SetDlgItemTextA(setup, 1005, "pw");
    ui::Press(setup, IDOK);
    ASSERT_TRUE(ui::WaitForWindowGone(setup, 10000));
    ASSERT_TRUE(server.Accept(20000)) << "the typed password brought no new attempt";
    server.Send(GreetingWithCapabilities);
    EXPECT_EQ(server.ExpectCommand("LOGIN alice pw"), "C001") << server.LastLine();
    char stored[4096];
    GetPrivateProfileStringA("imap4", "passProtected", "", stored, sizeof stored, file.c_str());
    std::string password;
    EXPECT_TRUE(testing_support::UnprotectValue(stored, &password)) << stored;
    EXPECT_EQ(password, "pw");
}

INSTANTIATE_TEST_SUITE_P(
    Values, UnreadablePassword,
    ::testing::Values(UnreadableCase{"OtherEntropy",
                                     [] { return testing_support::ProtectedValue("pw", "another program"); }},
                      UnreadableCase{"NoBlob", [] { return std::string("bm90IGEgYmxvYg=="); }},
                      UnreadableCase{"NotBase64", [] { return std::string("!!!!"); }}),
    [](const ::testing::TestParamInfo<UnreadableCase>& info) { return std::string(info.param.name); });

TEST_F(Watchers, UnreachableServerShowsTheConnectFailedBoxOnce)
{
    ScriptServer closed;
    closed.StopListening();
    TempAccount account;
    AccountIni ini;
    ini.port = closed.Port();
    ini.user = "nobody";
    ini.pass = "pw";
    WriteAccountIni(account.Folder(), ini);
    HWND window = standin::OpenFolder(account.Folder());

    HWND box = ui::WaitForWindow("#32770", ErrorCaption, 30000, window);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(ui::MessageBoxText(box), "IMAP4サーバーへ接続できません");
    ui::Press(box, IDOK);
    ASSERT_TRUE(ui::WaitForWindowGone(box, 10000));
    // Two more failed attempts, and no second box.
    long third = WaitFor("trace [01]Connect failed", 20000);
    ASSERT_GE(third, 0);
    long fifth = third;
    for (int i = 0; i < 2; ++i) {
        fifth = standin::WaitForLog("trace [01]connect error(", 20000, fifth + 1);
        ASSERT_GE(fifth, 0);
    }
    EXPECT_EQ(Count("command " + std::to_string(Command(2)) + " (callback 3)"), 1);
    EXPECT_EQ(ui::WaitForWindow("#32770", ErrorCaption, 0, window), nullptr);
}

TEST_F(Watchers, TlsValueOutOfRangeShowsItsBoxAtOnceAndNeverConnects)
{
    ScriptServer server;
    TempAccount account;
    AccountIni ini;
    ini.port = server.Port();
    ini.user = "alice";
    ini.pass = "pw";
    WriteAccountIni(account.Folder(), ini);
    WritePrivateProfileStringA("imap4", "tls", "5", account.IniPath().c_str());
    WritePrivateProfileStringA(NULL, NULL, NULL, account.IniPath().c_str());
    HWND window = standin::OpenFolder(account.Folder());

    HWND box = ui::WaitForWindow("#32770", ErrorCaption, 20000, window);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(ui::MessageBoxText(box), "IMAP4サーバーへ接続できません\n設定ファイルの tls の値が正しくありません");
    // At the first attempt, not after three failed ones.
    const std::string refused = "trace [01]tls setting error(5)";
    long told = WaitFor("trace [01]Connect failed");
    ASSERT_GE(told, 0);
    std::vector<std::string> lines = standin::LogLines();
    EXPECT_EQ(std::count_if(lines.begin() + mark, lines.begin() + told,
                            [&](const std::string& line) { return line.find(refused) != std::string::npos; }),
              1);
    ui::Press(box, IDOK);
    ASSERT_TRUE(ui::WaitForWindowGone(box, 10000));
    // The next attempt is refused as well, and none reached the server.
    ASSERT_GE(standin::WaitForLog(refused, 20000, told + 1), 0);
    EXPECT_FALSE(server.Accept(0)) << "a connection was made with tls=5";
    EXPECT_EQ(Count("trace [01]connect to("), 0);
}

TEST_F(Watchers, FingerprintFromTheBoxPastedIntoTheFileIsAcceptedAtTheNextAttempt)
{
    TempAccount account;
    AccountIni ini;
    std::string user = WriteDovecotAccount(account.Folder(), ini);
    // Implicit TLS, with another certificate's fingerprint pinned.
    const std::string file = account.IniPath();
    WritePrivateProfileStringA("imap4", "port", std::to_string(dovecot::ImapPort() + 10000).c_str(), file.c_str());
    WritePrivateProfileStringA("imap4", "tls", "1", file.c_str());
    WritePrivateProfileStringA("imap4", "tlsFingerprint", std::string(64, '0').c_str(), file.c_str());
    WritePrivateProfileStringA(NULL, NULL, NULL, file.c_str());
    HWND window = standin::OpenFolder(account.Folder());

    HWND box = ui::WaitForWindow("#32770", ErrorCaption, 20000, window);
    ASSERT_NE(box, nullptr);
    std::string text = ui::MessageBoxText(box);
    const std::string head = "IMAP4サーバーへ接続できません\nサーバー証明書が指定された指紋と一致しません\n"
                             "証明書の指紋 (SHA-256): ";
    const std::string tail = "\n設定画面の「接続テスト」で証明書を確かめて、信頼できます。";
    ASSERT_EQ(text.compare(0, head.size(), head), 0) << text;
    ASSERT_GT(text.size(), head.size() + tail.size()) << text;
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    std::string fingerprint = text.substr(head.size(), text.size() - head.size() - tail.size());
    EXPECT_EQ(dovecot::Logins(user), 0) << "LOGIN went to a refused server";

    // The user trusts it: the fingerprint as the box shows it goes into the
    // file, and the window stays open.
    WritePrivateProfileStringA("imap4", "tlsFingerprint", fingerprint.c_str(), file.c_str());
    WritePrivateProfileStringA(NULL, NULL, NULL, file.c_str());
    ui::Press(box, IDOK);
    ASSERT_TRUE(ui::WaitForWindowGone(box, 10000));
    ASSERT_GE(WaitFor("trace [01]IDLE mode", 30000), 0) << "the pasted fingerprint was not used";
    EXPECT_TRUE(dovecot::WaitLogins(user, 1)) << dovecot::Logins(user) << " logins";
    EXPECT_EQ(Count("trace [02]"), 0) << "a new watcher was made";
}

// ---- stopping in every phase ----------------------------------------------

struct StopPhase {
    const char* name;
    std::vector<std::string> script; // lines the server sends, "<" lines it reads first
    const char* reached;             // trace text that shows the phase was reached
};

void PrintTo(const StopPhase& c, std::ostream* os)
{
    *os << c.name;
}

class StopDuring : public Watchers, public ::testing::WithParamInterface<StopPhase> {};

TEST_P(StopDuring, ClosingTheLastWindowEndsTheWorker)
{
    ScriptServer server;
    TempAccount account;
    AccountIni ini;
    ini.port = server.Port();
    ini.user = "alice";
    ini.pass = "pw";
    ini.recvTimeout = 0; // every wait of the dialogue without limit: only the stop ends it
    WriteAccountIni(account.Folder(), ini);
    HWND window = standin::OpenFolder(account.Folder());
    ASSERT_TRUE(server.Accept(20000));
    for (const std::string& step : GetParam().script) {
        if (step[0] == '<') {
            std::string line;
            ASSERT_TRUE(server.ReadLine(&line));
            EXPECT_EQ(line, step.substr(1));
        } else {
            server.Send(step + "\r\n");
        }
    }
    ASSERT_GE(WaitFor(GetParam().reached, 20000), 0);

    size_t closing = standin::LogSize();
    standin::CloseFolder(window);
    long terminated = standin::WaitForLog("trace [01]thread terminated", 20000, closing);
    ASSERT_GE(terminated, 0);
    EXPECT_TRUE(server.WaitClosed());
    EXPECT_EQ(Count("trace [01]Connect failed"), 0) << "a stop is no failure to report";

    // The connection is simply closed: no DONE, no LOGOUT, no byte at all
    // after the stop.
    std::string sent;
    EXPECT_FALSE(server.ReadBytes(1, &sent, 0))
        << "sent after the stop: " << (server.ReadLine(&sent, 0) ? sent : server.LastLine());
    // The worker leaves its loop, then closes the socket, then ends.
    long end = standin::WaitForLog("trace [01]thread end", 0, closing);
    long closed = standin::WaitForLog("trace [01]CloseSocket", 0, closing);
    ASSERT_GE(end, 0);
    ASSERT_GE(closed, 0) << "the open connection was not closed by the worker";
    EXPECT_LT(end, closed);
    EXPECT_LT(closed, terminated);
}

INSTANTIATE_TEST_SUITE_P(
    Phases, StopDuring,
    ::testing::Values(
        StopPhase{"GreetingWait", {}, "trace [01]Connected(0)"},
        // A bare greeting: the capabilities are asked before the login.
        StopPhase{"CapabilityWait", {"* OK hi", "<C001 CAPABILITY"}, "trace [01]C001 CAPABILITY"},
        StopPhase{"LoginWait", {"* OK hi", "<C001 CAPABILITY", "* CAPABILITY IMAP4rev1 IDLE", "C001 OK",
                                "<C002 LOGIN alice pw"},
                  "trace [01]C002 LOGIN alice ****"},
        StopPhase{"SelectWait",
                  {"* OK hi", "<C001 CAPABILITY", "* CAPABILITY IMAP4rev1 IDLE", "C001 OK", "<C002 LOGIN alice pw",
                   "C002 OK", "<C003 SELECT INBOX"},
                  "C003 SELECT INBOX"},
        StopPhase{"IdleContinuationWait",
                  {"* OK hi", "<C001 CAPABILITY", "* CAPABILITY IMAP4rev1 IDLE", "C001 OK", "<C002 LOGIN alice pw",
                   "C002 OK", "<C003 SELECT INBOX", "C003 OK", "<C004 IDLE"},
                  "C004 IDLE"},
        StopPhase{"Idling",
                  {"* OK hi", "<C001 CAPABILITY", "* CAPABILITY IMAP4rev1 IDLE", "C001 OK", "<C002 LOGIN alice pw",
                   "C002 OK", "<C003 SELECT INBOX", "C003 OK", "<C004 IDLE", "+ idling"},
                  "trace [01]IDLE mode"}),
    [](const ::testing::TestParamInfo<StopPhase>& info) { return std::string(info.param.name); });

TEST_F(Watchers, ConfirmedSettingsChangeShowsTheConnectFailedBoxAgain)
{
    ScriptServer closed;
    closed.StopListening();
    TempAccount account;
    AccountIni ini;
    ini.port = closed.Port();
    ini.user = "nobody";
    ini.pass = "pw";
    WriteAccountIni(account.Folder(), ini);
    HWND window = standin::OpenFolder(account.Folder());
    const std::string connectFailed = "command " + std::to_string(Command(2)) + " (callback 3)";

    HWND box = ui::WaitForWindow("#32770", ErrorCaption, 30000, window);
    ASSERT_NE(box, nullptr);
    ui::Press(box, IDOK);
    ASSERT_TRUE(ui::WaitForWindowGone(box, 10000));
    // Further refusals with the same settings tell the user nothing.
    long refused = WaitFor("trace [01]Connect failed");
    for (int i = 0; i < 2; ++i) {
        refused = standin::WaitForLog("trace [01]connect error(", 20000, static_cast<size_t>(refused) + 1);
        ASSERT_GE(refused, 0);
    }
    ASSERT_EQ(Count(connectFailed), 1);

    // The user changes the user name in the setup dialog and confirms it.
    standin::PostSetup(window);
    HWND setup = ui::WaitForWindow("#32770", SetupTitle, 10000, window);
    ASSERT_NE(setup, nullptr);
    SetDlgItemTextA(setup, 1004, "somebody");
    ui::Press(setup, IDOK);
    long confirmed = WaitFor("QPCSetup(" + Hex(window) + ") -> 1");
    ASSERT_GE(confirmed, 0);

    // The server still refuses: the new settings earn one box of their own.
    HWND again = ui::WaitForWindow("#32770", ErrorCaption, 30000, window);
    ASSERT_NE(again, nullptr) << "no box for the new settings";
    EXPECT_EQ(ui::MessageBoxText(again), "IMAP4サーバーへ接続できません");
    EXPECT_GE(standin::WaitForLog("trace [01]connect error(", 0, static_cast<size_t>(confirmed)), 0);
    ui::Press(again, IDOK);
    ASSERT_TRUE(ui::WaitForWindowGone(again, 10000));
    EXPECT_EQ(Count(connectFailed), 2);
}

TEST_F(Watchers, StopWhileRetryingAndWhileSwitchedOffEndsTheWorker)
{
    ScriptServer closed;
    closed.StopListening();
    TempAccount retrying;
    TempAccount off;
    AccountIni ini;
    ini.port = closed.Port();
    ini.user = "u";
    ini.pass = "p";
    WriteAccountIni(retrying.Folder(), ini);
    ini.use = 0;
    WriteAccountIni(off.Folder(), ini);
    HWND a = standin::OpenFolder(retrying.Folder());
    HWND b = standin::OpenFolder(off.Folder());
    ASSERT_GE(WaitFor("trace [01]connect error(", 20000), 0);
    standin::CloseFolder(a);
    standin::CloseFolder(b);
    EXPECT_GE(WaitFor("trace [01]thread terminated"), 0);
    EXPECT_GE(WaitFor("trace [02]thread terminated"), 0);
    EXPECT_EQ(Count("trace [02]connect to("), 0) << "a watcher with use 0 never connects";
}

// A listener whose accept queue is full: the system drops further SYNs, and
// a connect to it waits for its own time-out, which takes minutes.
struct UnansweredPort {
    SOCKET listener = INVALID_SOCKET;
    std::vector<SOCKET> fillers;
    int port = 0;
    bool full = false;

    UnansweredPort()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address;
        ZeroMemory(&address, sizeof address);
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener, 1);
        int length = sizeof address;
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        for (int i = 0; i < 16 && !full; ++i) {
            SOCKET filler = socket(AF_INET, SOCK_STREAM, 0);
            u_long nonBlocking = 1;
            ioctlsocket(filler, FIONBIO, &nonBlocking);
            connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
            fd_set writable;
            FD_ZERO(&writable);
            FD_SET(filler, &writable);
            timeval wait = {0, 500 * 1000};
            full = select(0, NULL, &writable, NULL, &wait) == 0; // this one was not answered
            fillers.push_back(filler);
        }
    }
    ~UnansweredPort()
    {
        for (SOCKET filler : fillers)
            closesocket(filler);
        closesocket(listener);
    }
};

TEST_F(Watchers, ClosingWhileAConnectGoesUnansweredDoesNotWaitForIt)
{
    UnansweredPort server;
    ASSERT_TRUE(server.full) << "could not fill the listener's queue";
    TempAccount account;
    AccountIni ini;
    ini.port = server.port;
    ini.user = "u";
    ini.pass = "p";
    WriteAccountIni(account.Folder(), ini);
    HWND window = standin::OpenFolder(account.Folder());
    ASSERT_GE(WaitFor("trace [01]connect to(", 20000), 0);

    standin::CloseFolder(window);
    long closed = WaitFor("QPCFolderClose(" + Hex(window) + ")", 60000);
    ASSERT_GE(closed, 0);
    EXPECT_GE(WaitFor("trace [01]thread terminated"), 0);
    // The stop ends the connect at once; the window thread waits at most
    // 100 ms for a stopping worker, not for the connect's own time-out.
    std::string line = standin::LogLines()[closed];
    double ms = atof(line.substr(line.rfind(" in ") + 4).c_str());
    EXPECT_LT(ms, 500.0) << line;
}

// ---- the window closing under the plug-in's own boxes and dialog ------------

// What a window of the host leaves behind when it closes under a message box
// or the setup dialog that the plug-in opened for it: the dialog goes with
// its owner, the command that opened it comes back to the host without
// opening anything else, the watcher ends, and no settings file is written.
class ClosedUnderADialog : public Watchers {
protected:
    // The file that an account folder of "" names: the host answers "" for a
    // window it no longer has, and the profile functions look for a bare
    // file name in the Windows folder.
    static std::string StrayIni()
    {
        char folder[MAX_PATH];
        GetWindowsDirectoryA(folder, sizeof folder);
        return std::string(folder) + "\\qvpush.ini";
    }

    TempAccount account;
    std::string user;
    std::string iniBefore;
    std::string strayIniBefore;
    HWND window = NULL;

    void Open(bool rightPassword)
    {
        AccountIni ini;
        if (!rightPassword)
            ini.pass = "wrong";
        user = WriteDovecotAccount(account.Folder(), ini);
        iniBefore = account.ReadIni();
        strayIniBefore = testing_support::ReadFileBytes(StrayIni());
        window = standin::OpenFolder(account.Folder());
    }

    // Closes the window and checks what it leaves behind. `returned` is the
    // log line that says the plug-in's command or entry point has returned.
    void CloseAndCheck(HWND dialog, const std::string& returned)
    {
        size_t closing = standin::LogSize();
        standin::CloseFolder(window); // returns once the window is gone
        EXPECT_FALSE(IsWindow(dialog)) << "the dialog outlived its window";
        EXPECT_GE(standin::WaitForLog("trace [01]thread terminated", 10000, closing), 0)
            << "the watcher of the closed window still runs";
        // The dialog's modal loop notices at the host's next message that its
        // window is gone; a real host gets messages all the time.
        standin::Post([] {});
        ASSERT_GE(WaitFor(returned), 0) << "the plug-in never returned to the host";
        EXPECT_EQ(ui::WaitForWindow("#32770", SetupTitle, 0, NULL, GetCurrentProcessId()), nullptr)
            << "a setup dialog for a window that is gone";
        EXPECT_EQ(ui::WaitForWindow("#32770", ErrorCaption, 0, NULL, GetCurrentProcessId()), nullptr);
        EXPECT_EQ(account.ReadIni(), iniBefore) << "the settings file changed without a confirmation";
        EXPECT_EQ(testing_support::ReadFileBytes(StrayIni()), strayIniBefore)
            << "settings written for the gone window's empty account folder";
        EXPECT_TRUE(dovecot::WaitConnections(user, 0, 20000));

        // Nothing is left of the old watcher: a new window of the account
        // gets a watcher of its own, which logs in with the right password.
        AccountIni ini;
        ini.user = user;
        ini.pass = "pw-" + user;
        ini.port = dovecot::ImapPort();
        WriteAccountIni(account.Folder(), ini);
        size_t reopened = standin::LogSize();
        standin::OpenFolder(account.Folder());
        EXPECT_GE(standin::WaitForLog("trace [02]IDLE mode", 20000, reopened), 0);
        EXPECT_EQ(standin::CountLog("trace [01]", reopened), 0) << "the old watcher is still about";
    }
};

TEST_F(ClosedUnderADialog, LoginFailedBoxGoesWithItsWindowAndNoSetupDialogFollows)
{
    Open(false);
    HWND box = ui::WaitForWindow("#32770", ErrorCaption, 20000, window);
    ASSERT_NE(box, nullptr);
    CloseAndCheck(box, "command " + std::to_string(Command(3)) + " returned");
}

TEST_F(ClosedUnderADialog, SetupDialogAfterARejectedLoginGoesWithItsWindowUnsaved)
{
    Open(false);
    HWND box = ui::WaitForWindow("#32770", ErrorCaption, 20000, window);
    ASSERT_NE(box, nullptr);
    ui::Press(box, IDOK);
    HWND setup = ui::WaitForWindow("#32770", SetupTitle, 10000, window);
    ASSERT_NE(setup, nullptr);
    SetDlgItemTextA(setup, 1005, "typed but never confirmed");
    CloseAndCheck(setup, "command " + std::to_string(Command(3)) + " returned");
}

TEST_F(ClosedUnderADialog, SetupDialogOfQPCSetupGoesWithItsWindowUnsaved)
{
    Open(true);
    ASSERT_GE(WaitFor("trace [01]IDLE mode", 20000), 0);
    standin::PostSetup(window);
    HWND setup = ui::WaitForWindow("#32770", SetupTitle, 10000, window);
    ASSERT_NE(setup, nullptr);
    SetDlgItemTextA(setup, 1002, "typed.but.never.confirmed");
    CloseAndCheck(setup, "QPCSetup(" + Hex(window) + ") -> ");
}

// ---- the trace file ------------------------------------------------------------

struct TraceFileCase {
    const char* name;
    int logFile;
    int debug;
};

void PrintTo(const TraceFileCase& c, std::ostream* os)
{
    *os << c.name;
}

class TraceFileKey : public Watchers, public ::testing::WithParamInterface<TraceFileCase> {};

// The whole life of a watcher, from its first line to its last, with mail.
TEST_P(TraceFileKey, CopiesEveryTraceLineStampedAndMaskedIntoTheAccountsFolder)
{
    const TraceFileCase& c = GetParam();
    TempAccount account;
    AccountIni ini;
    ini.logFile = c.logFile;
    ini.debug = c.debug;
    std::string user = WriteDovecotAccount(account.Folder(), ini);
    const std::string password = "pw-" + user;
    const std::string path = account.Folder() + "qvpush.log";
    const std::string before = testing_support::LocalStamp();
    // What a line of the watcher's says, in the file or else in the capture.
    auto reached = [&](const std::string& line) {
        if (c.logFile == 0)
            return WaitFor("trace " + line, 20000) >= 0;
        return standin::WaitUntil([&] { return ReadFileBytes(path).find(line) != std::string::npos; }, 20000);
    };

    HWND window = standin::OpenFolder(account.Folder());
    ASSERT_TRUE(reached("[01]IDLE mode"));
    ASSERT_GT(dovecot::Deliver(user, "hello"), 0.0);
    ASSERT_GE(WaitFor(MailCommandOn(window), 20000), 0) << "the mail was not announced";
    standin::CloseFolder(window);
    ASSERT_TRUE(reached("[01]thread terminated"));
    const std::string after = testing_support::LocalStamp();

    if (c.debug == 0)
        EXPECT_EQ(Count("trace ["), 0) << "lines went to the debugger output with debug 0";
    if (c.logFile == 0) {
        EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES) << "a trace file was made";
        return;
    }
    std::string bytes = ReadFileBytes(path);
    EXPECT_EQ(bytes.find(password), std::string::npos) << "the password is in the file";
    std::vector<TraceFileEntry> entries = TraceFileEntries(bytes);
    std::vector<std::string> lines;
    for (const TraceFileEntry& entry : entries) {
        EXPECT_GE(entry.stamp, before) << entry.text;
        EXPECT_LE(entry.stamp, after) << entry.text;
        lines.push_back(entry.text);
    }
    // The worker's lines and the host thread's, the login masked as traced.
    const std::string login = " LOGIN " + user + " ****\r\n";
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.compare(0, 5, "[01]C") == 0 && line.size() > login.size() &&
               line.compare(line.size() - login.size(), login.size(), login) == 0;
    })) << "no masked LOGIN line";
    for (const char* line : {"[01]IDLE mode\r\n", "[01]Window Count=0\r\n", "[01]set Terminate\r\n",
                             "[01]thread terminated\r\n"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << "missing: " << line;
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find(" Received MAIL\r\n") != std::string::npos;
    })) << "no Received MAIL line";
    if (c.debug != 0) {
        // The same lines as the debugger output, in the same order.
        std::vector<std::string> traced;
        for (const std::string& line : standin::TraceLines(mark))
            if (line.compare(0, 1, "[") == 0) // not the test's own failure messages
                traced.push_back(line.back() == '\n' ? line : line + "\r\n");
        EXPECT_EQ(lines, traced);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, TraceFileKey,
                         ::testing::Values(TraceFileCase{"FileOnly", 1, 0}, TraceFileCase{"FileAndDebugger", 1, 1},
                                           TraceFileCase{"DebuggerOnly", 0, 1}),
                         [](const ::testing::TestParamInfo<TraceFileCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(Watchers, AnUnwritableTraceFileLeavesTheWatcherWorking)
{
    TempAccount account;
    AccountIni ini;
    ini.logFile = 1;
    std::string user = WriteDovecotAccount(account.Folder(), ini);
    const std::string path = account.Folder() + "qvpush.log";
    testing_support::WriteFileBytes(path, "kept as it is\r\n");
    testing_support::ImmutableFile unwritable(path);
    ASSERT_TRUE(unwritable.Holds()) << unwritable.Error();

    HWND window = standin::OpenFolder(account.Folder());
    ASSERT_GE(WaitFor("trace [01]IDLE mode", 20000), 0);
    ASSERT_GT(dovecot::Deliver(user, "hello"), 0.0);
    EXPECT_GE(WaitFor(MailCommandOn(window), 20000), 0) << "the mail was not announced";
    standin::CloseFolder(window);
    ASSERT_GE(WaitFor("trace [01]thread terminated", 20000), 0);
    EXPECT_EQ(ReadFileBytes(path), "kept as it is\r\n");
}

// ---- the module and the process ---------------------------------------------

TEST_F(Watchers, UnloadWhileAWorkerRunsKeepsItsCodeMapped)
{
    TempAccount account;
    std::string user = WriteDovecotAccount(account.Folder());
    HWND window = standin::OpenFolder(account.Folder());
    ASSERT_GE(WaitFor("trace [01]IDLE mode", 20000), 0);

    // The host frees the plug-in while the window is still open.
    HMODULE plugin = standin::Plugin();
    standin::Run([plugin] { FreeLibrary(plugin); });
    ASSERT_EQ(GetModuleHandleA("qvpush.dll"), plugin) << "the running worker's code was unmapped";

    // The worker keeps running its code: new mail is still announced.
    long unloaded = static_cast<long>(standin::LogSize());
    ASSERT_GT(dovecot::Deliver(user, "after unload"), 0.0);
    EXPECT_GE(standin::WaitForLog("Received MAIL", 20000, unloaded), 0);
    // Let the host finish the receive it was asked for before it stops
    // calling the plug-in; its timer calls into the module too.
    EXPECT_GE(standin::WaitForLog("receive dialog OK pressed", 20000, unloaded), 0);

    // To close its window the host must hold the module again: a call into a
    // module it has freed could find the code gone the moment the worker's
    // reference, then the last one, is released. Once the worker has ended,
    // the host's reference is the only one left.
    HMODULE held = NULL;
    ASSERT_TRUE(GetModuleHandleExA(0, "qvpush.dll", &held));
    typedef int(WINAPI * CloseFn)(HWND);
    CloseFn close = reinterpret_cast<CloseFn>(reinterpret_cast<void*>(GetProcAddress(held, "QPCFolderClose")));
    standin::Run([&] {
        close(window);
        DestroyWindow(window);
    });
    ASSERT_GE(WaitFor("trace [01]thread terminated", 20000), 0);
    EXPECT_NE(GetModuleHandleA("qvpush.dll"), nullptr);
    standin::Run([held] {
        FreeLibrary(held);
        standin::ForgetPlugin();
    });
    // A worker that set threadEnded may still be leaving its thread, and
    // with it the module.
    EXPECT_TRUE(standin::WaitUntil([] { return GetModuleHandleA("qvpush.dll") == NULL; }, 10000))
        << "the worker's reference was never released";
}

} // namespace
