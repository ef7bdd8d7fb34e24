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
#include "support/process_stats.h"
#include "support/script_server.h"
#include "support/temp_account.h"
#include "support/ui.h"
#include "watch/dovecot_account.h"

using testing_support::TempAccount;

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
    DWORD start = GetTickCount();
    while (dovecot::Connections(user) != 0 && GetTickCount() - start < 20000)
        standin::WaitForLog("never", 100);
    EXPECT_EQ(dovecot::Connections(user), 0);
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
    EXPECT_EQ(dovecot::Logins(user), 2);

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

    // A retry would come within 3 s; watch for twice that.
    standin::WaitForLog("never", 6000);
    EXPECT_EQ(Count("trace [01]connect to("), 1);
    EXPECT_EQ(dovecot::Logins(user), 0);
    EXPECT_EQ(Count("QPCSetup"), 0);
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
    EXPECT_EQ(dovecot::Logins(user), 1);
    EXPECT_EQ(Count("trace [02]"), 0) << "the running watcher should reconnect, not a new one";
}

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

    standin::CloseFolder(window);
    ASSERT_GE(WaitFor("trace [01]thread terminated", 20000), 0);
    EXPECT_TRUE(server.WaitClosed());
    EXPECT_EQ(Count("trace [01]Connect failed"), 0) << "a stop is no failure to report";
}

INSTANTIATE_TEST_SUITE_P(
    Phases, StopDuring,
    ::testing::Values(
        StopPhase{"GreetingWait", {}, "trace [01]Connected(0)"},
        StopPhase{"LoginWait", {"* OK hi", "<C001 LOGIN alice pw"}, "trace [01]C001 LOGIN alice ****"},
        StopPhase{"SelectWait", {"* OK hi", "<C001 LOGIN alice pw", "C001 OK", "<C002 SELECT INBOX"}, "C002 SELECT INBOX"},
        StopPhase{"IdleContinuationWait",
                  {"* OK hi", "<C001 LOGIN alice pw", "C001 OK", "<C002 SELECT INBOX", "C002 OK", "<C003 IDLE"},
                  "C003 IDLE"},
        StopPhase{"Idling",
                  {"* OK hi", "<C001 LOGIN alice pw", "C001 OK", "<C002 SELECT INBOX", "C002 OK", "<C003 IDLE",
                   "+ idling"},
                  "trace [01]IDLE mode"}),
    [](const ::testing::TestParamInfo<StopPhase>& info) { return std::string(info.param.name); });

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
    DWORD start = GetTickCount();
    while (GetModuleHandleA("qvpush.dll") != NULL && GetTickCount() - start < 10000)
        standin::WaitForLog("never", 20);
    EXPECT_EQ(GetModuleHandleA("qvpush.dll"), nullptr) << "the worker's reference was never released";
}

TEST_F(Watchers, TwoHundredCyclesLeaveHandlesAndThreadsWhereTheyWere)
{
    TempAccount account;
    WriteDovecotAccount(account.Folder());
    // One cycle first, so that lazily created system objects (Winsock and
    // the like) exist before counting.
    standin::CloseFolder(standin::OpenFolder(account.Folder()));
    ASSERT_GE(WaitFor("trace [01]thread terminated", 20000), 0);
    DWORD handles = process_stats::HandleCount();
    int threads = process_stats::ThreadCount();

    for (int i = 0; i < 200; ++i)
        standin::CloseFolder(standin::OpenFolder(account.Folder()));

    char serial[32];
    snprintf(serial, sizeof serial, "trace [%02d]thread terminated", 201);
    ASSERT_GE(WaitFor(serial, 20000), 0);
    // A worker that set threadEnded may still be leaving its thread.
    DWORD start = GetTickCount();
    while (process_stats::ThreadCount() > threads && GetTickCount() - start < 10000)
        standin::WaitForLog("never", 50);
    DWORD handlesAfter = process_stats::HandleCount();
    int threadsAfter = process_stats::ThreadCount();
    printf("after 200 cycles: %lu handles (%lu before), %d threads (%d before)\n", handlesAfter, handles,
           threadsAfter, threads);
    EXPECT_GT(handles, 0u) << "the handle count cannot be read here";
    EXPECT_EQ(handlesAfter, handles);
    EXPECT_EQ(threadsAfter, threads);
}

} // namespace
