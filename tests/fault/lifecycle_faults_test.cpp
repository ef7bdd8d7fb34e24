// Faults around the server's and the module's life, against qvpush.dll in
// the stand-in host and the tests' Dovecot: the server killed and restarted
// under an idling watcher, the plug-in unloaded while its watchers are still
// connecting, and many attach and close cycles while the server is down.
#include "fault/fault_fixture.h"

#include <algorithm>
#include <memory>

#include "fault/relay.h"
#include "support/process_stats.h"
#include "support/ui.h"

using testing_support::TempAccount;

namespace fault {
namespace {

class LifecycleFaults : public FaultTest {};

// Runs alone: it stops the Dovecot that every other test shares.
TEST_F(LifecycleFaults, DovecotKilledMidIdleReconnectsAtTheDesignedPaceAndAnnouncesLaterMail)
{
    TempAccount account;
    std::string user = WriteDovecotAccount(account.Folder());
    HWND window = standin::OpenFolder(account.Folder());
    ASSERT_GE(WaitFor("trace [01]IDLE mode", 20000), 0);

    ASSERT_TRUE(dovecot::Stop()) << dovecot::LastError();
    long closed = WaitFor("trace [01]CloseSocket", 20000);
    ASSERT_GE(closed, 0) << "the dropped connection went unnoticed";
    // Let it fail three times, so that the pace of repeated failures shows.
    long third = closed;
    for (int i = 0; i < 3; ++i) {
        third = standin::WaitForLog("trace [01]connect error(", 20000, static_cast<size_t>(third) + 1);
        ASSERT_GE(third, 0) << "attempt " << i + 1 << " while the server is down";
    }
    ASSERT_TRUE(dovecot::Start()) << dovecot::LastError();
    double back = standin::NowMs();
    long again = standin::WaitForLog("trace [01]IDLE mode", 30000, static_cast<size_t>(closed));
    ASSERT_GE(again, 0) << "no reconnection once the server was back";
    double idleAt = TimeOf("trace [01]IDLE mode", static_cast<size_t>(closed));

    // An attempt whose connect failed is followed by the next one 3 s after
    // its start; one that connected and was then dropped (the server still
    // accepted while it went down) by the next one after the 1 s close
    // pause. Neither comes sooner, and none lags.
    struct Attempt {
        double ms;
        bool refused;
    };
    std::vector<Attempt> attempts;
    for (const standin::TimedLine& line : standin::TimedLogLines(static_cast<size_t>(closed))) {
        if (line.text.find("trace [01]connect to(") != std::string::npos)
            attempts.push_back(Attempt{line.ms, false});
        else if (line.text.find("trace [01]connect error(") != std::string::npos && !attempts.empty())
            attempts.back().refused = true;
    }
    ASSERT_GE(attempts.size(), 4u);
    double closedAt = standin::TimedLogLines(static_cast<size_t>(closed)).front().ms;
    EXPECT_GE(attempts[0].ms - closedAt, 990.0);
    for (size_t i = 1; i < attempts.size(); ++i) {
        double gap = attempts[i].ms - attempts[i - 1].ms;
        EXPECT_GE(gap, attempts[i - 1].refused ? 2990.0 : 990.0) << "attempt " << i << " came too soon";
        EXPECT_LT(gap, 4500.0) << "attempt " << i << " came late";
    }
    // Back in IDLE within one retry period of the server accepting again.
    EXPECT_LT(idleAt - back, 5000.0);
    printf("Dovecot restarted: %zu attempts, back in IDLE %.0f ms after the server accepted again\n",
           attempts.size(), idleAt - back);

    long mark = static_cast<long>(standin::LogSize());
    ASSERT_GT(dovecot::Deliver(user, "after the restart"), 0.0) << dovecot::LastError();
    EXPECT_TRUE(Announced(window, mark));
    EXPECT_EQ(Count(ConnectFailedCommand()), 0) << "no box once IDLE had been reached";
    EXPECT_TRUE(HostAnswers());
}

TEST_F(LifecycleFaults, UnloadedWhileWatchersAreMidConnectKeepsThemRunningUntilTheirWindowsClose)
{
    int threadsBefore = process_stats::ThreadCount();
    std::unique_ptr<Relay> relayed(new Relay(dovecot::ImapPort()));
    Relay& relay = *relayed;
    ASSERT_TRUE(relay.Blocked()) << "could not make connects to the relay hang";
    const int accounts = 3;
    std::vector<TempAccount> folders(accounts);
    std::vector<std::string> users;
    std::vector<HWND> windows;
    for (TempAccount& folder : folders) {
        AccountIni ini;
        users.push_back(WriteDovecotAccount(folder.Folder(), ini));
        ini.port = relay.Port();
        ini.user = users.back();
        ini.pass = "pw-" + users.back();
        WriteAccountIni(folder.Folder(), ini);
    }
    for (TempAccount& folder : folders)
        windows.push_back(standin::OpenFolder(folder.Folder()));
    for (int i = 1; i <= accounts; ++i) {
        char text[64];
        snprintf(text, sizeof text, "trace [%02d]connect to(", i);
        ASSERT_GE(WaitFor(text, 20000), 0);
    }
    EXPECT_EQ(Count("Connected(0)"), 0) << "a connect got through the full queue";

    // The host frees the plug-in while every watcher hangs in its connect.
    HMODULE plugin = standin::Plugin();
    standin::Run([plugin] { FreeLibrary(plugin); });
    EXPECT_TRUE(HostAnswers());
    ASSERT_EQ(GetModuleHandleA("qvpush.dll"), plugin) << "the connecting workers' code was unmapped";

    // The server answers at last: every watcher goes on to IDLE, and mail
    // is announced through the commands the host still holds.
    relay.Open();
    for (int i = 1; i <= accounts; ++i) {
        char text[64];
        snprintf(text, sizeof text, "trace [%02d]IDLE mode", i);
        ASSERT_GE(WaitFor(text, 60000), 0) << "watcher " << i << " did not reach IDLE";
    }
    for (int i = 0; i < accounts; ++i) {
        long mark = static_cast<long>(standin::LogSize());
        ASSERT_GT(dovecot::Deliver(users[static_cast<size_t>(i)], "after unload"), 0.0);
        EXPECT_TRUE(Announced(windows[static_cast<size_t>(i)], mark)) << "account " << i + 1;
    }

    // A box of the plug-in still open keeps one of its callbacks on the
    // host's stack; the host lets that return before it lets the module go.
    for (HWND window : windows) {
        while (HWND box = ui::WaitForWindow("#32770", "QV-PUSH エラー発生", 0, window)) {
            ui::Press(box, IDOK);
            ASSERT_TRUE(ui::WaitForWindowGone(box, 10000));
        }
    }
    EXPECT_TRUE(HostAnswers());

    // To close its windows the host must hold the module again: a call into
    // a module it has freed could find the code gone the moment the last
    // worker's reference is released. Once the workers have ended, the
    // host's reference is the only one left.
    HMODULE held = NULL;
    ASSERT_TRUE(GetModuleHandleExA(0, "qvpush.dll", &held));
    typedef int(WINAPI * CloseFn)(HWND);
    CloseFn close = reinterpret_cast<CloseFn>(reinterpret_cast<void*>(GetProcAddress(held, "QPCFolderClose")));
    for (HWND window : windows)
        standin::Run([&] {
            close(window);
            DestroyWindow(window);
        });
    for (int i = 1; i <= accounts; ++i) {
        char text[64];
        snprintf(text, sizeof text, "trace [%02d]thread terminated", i);
        EXPECT_GE(WaitFor(text, 20000), 0);
    }
    EXPECT_NE(GetModuleHandleA("qvpush.dll"), nullptr);
    standin::Run([held] {
        FreeLibrary(held);
        standin::ForgetPlugin();
    });
    relayed.reset(); // its own threads end with it
    DWORD start = GetTickCount();
    while ((GetModuleHandleA("qvpush.dll") != NULL || process_stats::ThreadCount() > threadsBefore) &&
           GetTickCount() - start < 10000)
        standin::WaitForLog("never", 20);
    EXPECT_EQ(GetModuleHandleA("qvpush.dll"), nullptr) << "the workers' references were never released";
    EXPECT_LE(process_stats::ThreadCount(), threadsBefore);
    EXPECT_TRUE(HostAnswers());
}

TEST_F(LifecycleFaults, TwoHundredCyclesWhileTheServerIsDownLeaveNoHandleOrThread)
{
    ScriptServer down;
    down.StopListening();
    TempAccount account;
    ScriptAccount(account, down);
    // Threads are counted before the first watcher; handles after the
    // first 20 cycles, so that what the system makes once or lazily
    // (Winsock, Wine's own helpers) exists before counting. A handle left
    // per cycle would show 180 times over.
    int threads = process_stats::ThreadCount();
    DWORD handles = 0;
    for (int serial = 1; serial <= 201; ++serial) {
        if (serial == 21) {
            ASSERT_GE(WaitFor("trace [20]thread terminated", 20000), 0);
            handles = process_stats::HandleCount();
        }
        size_t mark = standin::LogSize();
        HWND window = standin::OpenFolder(account.Folder());
        // Each watcher gets as far as the refused connect before it goes.
        char refused[64];
        snprintf(refused, sizeof refused, "trace [%02d]connect error(", serial);
        ASSERT_GE(standin::WaitForLog(refused, 20000, mark), 0) << "cycle " << serial;
        standin::CloseFolder(window);
    }
    ASSERT_GE(WaitFor("trace [201]thread terminated", 20000), 0);
    // A worker that has set threadEnded may still be leaving its thread.
    DWORD start = GetTickCount();
    while (process_stats::ThreadCount() > threads && GetTickCount() - start < 10000)
        standin::WaitForLog("never", 50);
    DWORD handlesAfter = process_stats::HandleCount();
    int threadsAfter = process_stats::ThreadCount();
    printf("201 cycles with the server down: %lu handles (%lu after cycle 20), %d threads (%d before)\n",
           handlesAfter, handles, threadsAfter, threads);
    EXPECT_GT(handles, 0u) << "the handle count cannot be read here";
    EXPECT_EQ(threadsAfter, threads);
    EXPECT_LE(handlesAfter, handles + 3);
    EXPECT_EQ(Count(ConnectFailedCommand()), 0) << "no watcher lived to its third failure";
    EXPECT_TRUE(HostAnswers());
}

} // namespace
} // namespace fault
