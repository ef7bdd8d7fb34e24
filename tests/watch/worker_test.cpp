// The watcher thread with the plug-in's code linked into the test: the
// stand-in host calls it like a loaded module, and the test can reach the
// registry and the settings hand-over directly on the host's thread.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <limits.h>

#include <string.h>

#include <string>
#include <vector>

#include "config/settings.h"
#include "host/plugin.h"
#include "standin/host.h"
#include "support/dovecot.h"
#include "support/host_fixture.h"
#include "support/linked_plugin.h"
#include "support/process_stats.h"
#include "support/script_server.h"
#include "support/temp_account.h"
#include "watch/dovecot_account.h"
#include "watch/registry.h"
#include "watch/watcher.h"
#include "watch/worker.h"

using testing_support::TempAccount;

namespace {

DWORD WINAPI ReturnAtOnce(LPVOID)
{
    return 0;
}

class LinkedWatchers : public HostTest {
protected:
    void SetUp() override
    {
        standin::CaptureTrace();
        linked_plugin::Use(&options);
        HostTest::SetUp();
    }

};

// ---- the hand-over of changed settings -------------------------------------

// Plays a clean dialogue from the greeting to IDLE with the server's current
// client, logging in as alice with password pw.
::testing::AssertionResult PlayToIdle(ScriptServer& server, size_t from)
{
    server.Send(GreetingWithCapabilities);
    std::string tag = server.ExpectCommand("LOGIN alice pw");
    if (tag.empty())
        return ::testing::AssertionFailure() << "expected LOGIN, got: " << server.LastLine();
    server.Send(tag + " OK logged in\r\n");
    tag = server.ExpectCommand("SELECT INBOX");
    if (tag.empty())
        return ::testing::AssertionFailure() << "expected SELECT, got: " << server.LastLine();
    server.Send(tag + " OK [READ-WRITE] selected\r\n");
    tag = server.ExpectCommand("IDLE");
    if (tag.empty())
        return ::testing::AssertionFailure() << "expected IDLE, got: " << server.LastLine();
    server.Send("+ idling\r\n");
    if (standin::WaitForLog("trace [01]IDLE mode", 20000, from) < 0)
        return ::testing::AssertionFailure() << "the watcher did not reach IDLE";
    return ::testing::AssertionSuccess();
}

// After a hand-over at log index `handed`: the watcher keeps its connection.
void ExpectConnectionStays(ScriptServer& server, size_t handed)
{
    // Two lines the watcher reads one after the other prove that it has
    // been through its loop, and its thread's queue, since the hand-over.
    for (const char* sentinel : {"* OK sentinel one", "* OK sentinel two"}) {
        ASSERT_TRUE(server.Send(std::string(sentinel) + "\r\n"));
        ASSERT_GE(standin::WaitForLog(std::string("trace [01]Recv:") + sentinel, 10000, handed), 0);
    }
    EXPECT_EQ(standin::CountLog("trace [01]CloseSocket", handed), 0) << "unchanged settings were handed over";
    EXPECT_FALSE(server.WaitClosed(0)) << "the connection was dropped";
    EXPECT_FALSE(server.Accept(0));
}

// Where the watcher goes once it has taken the new settings.
enum class Next {
    Stays,      // nothing was handed over: the connection stays as it is
    Off,        // the connection closes and no new one follows
    Same,       // the connection closes and a new one logs in at the same server
    OtherPort,  // ... at the server on the other port
};

struct HandOverCase {
    const char* name;
    void (*edit)(Settings& settings, int otherPort); // the change the dialog confirmed
    Next next;
    const char* login; // the LOGIN line of the new connection
};

void PrintTo(const HandOverCase& c, std::ostream* os)
{
    *os << c.name;
}

class SettingsHandOver : public LinkedWatchers, public ::testing::WithParamInterface<HandOverCase> {};

TEST_P(SettingsHandOver, ReconnectsWhenAnyOfTheSettingsChangedAndOnlyThen)
{
    const HandOverCase& c = GetParam();
    ScriptServer server;
    ScriptServer other;
    TempAccount account;
    AccountIni ini;
    ini.port = server.Port();
    ini.user = "alice";
    ini.pass = "pw";
    WriteAccountIni(account.Folder(), ini);
    HWND window = standin::OpenFolder(account.Folder());
    ASSERT_TRUE(server.Accept(20000));
    ASSERT_TRUE(PlayToIdle(server, mark));

    // What the settings flow does after a confirmed dialog: the settings as
    // the file holds them (which the watcher runs with), with the change.
    size_t handed = standin::LogSize();
    standin::Run([&] {
        Watcher* watcher = FindWatcherByWindow(window);
        ASSERT_NE(watcher, nullptr);
        Settings settings;
        LoadSettings(account.Folder().c_str(), &settings);
        c.edit(settings, other.Port());
        UpdateSettings(watcher, settings);
    });

    if (c.next == Next::Stays) {
        ExpectConnectionStays(server, handed);
        return;
    }
    ASSERT_TRUE(server.WaitClosed()) << "the changed settings did not drop the connection";
    EXPECT_GE(standin::WaitForLog("trace [01]CloseSocket", 10000, handed), 0);
    if (c.next == Next::Off) {
        // A watcher that is on connects again at once.
        EXPECT_FALSE(server.Accept(3000)) << "switched off, but it connected again";
        return;
    }
    ScriptServer& next = c.next == Next::OtherPort ? other : server;
    ASSERT_TRUE(next.Accept(20000)) << "no new connection with the new settings";
    next.Send(GreetingWithCapabilities);
    std::string line;
    ASSERT_TRUE(next.ReadLine(&line));
    EXPECT_EQ(line, std::string("C001 LOGIN ") + c.login);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SettingsHandOver,
    ::testing::Values(
        HandOverCase{"NothingChanged", [](Settings&, int) {}, Next::Stays, ""},
        HandOverCase{"Use", [](Settings& s, int) { s.use = 0; }, Next::Off, ""},
        // The same address written another way: octal parts.
        HandOverCase{"Server", [](Settings& s, int) { strcpy(s.server, "127.000.000.001"); }, Next::Same,
                     "alice pw"},
        HandOverCase{"Port", [](Settings& s, int port) { s.port = port; }, Next::OtherPort, "alice pw"},
        HandOverCase{"User", [](Settings& s, int) { strcpy(s.user, "bob"); }, Next::Same, "bob pw"},
        HandOverCase{"Pass", [](Settings& s, int) { strcpy(s.pass, "pw2"); }, Next::Same, "alice pw2"},
        HandOverCase{"RefreshTime", [](Settings& s, int) { s.refreshTime = 13; }, Next::Same, "alice pw"},
        HandOverCase{"RecvTimeout", [](Settings& s, int) { s.recvTimeout = 21; }, Next::Same, "alice pw"},
        // Nothing to do with the connection, and still a reconnection.
        HandOverCase{"Debug", [](Settings& s, int) { s.debug = 7; }, Next::Same, "alice pw"},
        HandOverCase{"RecvAtConnected", [](Settings& s, int) { s.recvAtConnected = 1; }, Next::Same, "alice pw"},
        HandOverCase{"KeepAlive", [](Settings& s, int) { s.keepAlive = 30; }, Next::Same, "alice pw"},
        HandOverCase{"LogFile", [](Settings& s, int) { s.logFile = 1; }, Next::Same, "alice pw"}),
    [](const ::testing::TestParamInfo<HandOverCase>& info) { return std::string(info.param.name); });

// ---- the keys only the file sets ------------------------------------------

const char PastedFingerprint[] =
    "9F:86:d0:81:88:4c:7d:65:9a:2f:ea:a0:c5:5a:d0:15:a3:bf:4f:1b:2b:0b:82:2c:d1:5d:6c:15:b0:f0:0a:08";

Settings RunningSettings(HWND window)
{
    Settings running;
    memset(&running, 0, sizeof running);
    standin::Run([&] {
        Watcher* watcher = FindWatcherByWindow(window);
        if (watcher == nullptr)
            return;
        SharedLock hold(watcher->session.settingsLock);
        running = watcher->session.settings;
    });
    return running;
}

TEST_F(LinkedWatchers, KeysPastedIntoTheFileAreUsedAtTheNextAttemptWithoutReopening)
{
    ScriptServer server;
    TempAccount account;
    AccountIni ini;
    ini.port = server.Port();
    ini.user = "alice";
    ini.pass = "pw";
    ini.debug = 0;
    WriteAccountIni(account.Folder(), ini);
    HWND window = standin::OpenFolder(account.Folder());
    ASSERT_TRUE(server.Accept(20000));

    // The user edits the file while the watcher is connected: the keys that
    // only the file sets, and a key of the dialog, which must wait for it.
    std::string file = account.IniPath();
    WritePrivateProfileStringA("imap4", "debug", "1", file.c_str());
    WritePrivateProfileStringA("imap4", "refreshTime", "3", file.c_str());
    WritePrivateProfileStringA("imap4", "recvTimeout", "7", file.c_str());
    WritePrivateProfileStringA("imap4", "tlsFingerprint", PastedFingerprint, file.c_str());
    WritePrivateProfileStringA("imap4", "logFile", "1", file.c_str());
    WritePrivateProfileStringA("imap4", "user", "bob", file.c_str());
    WritePrivateProfileStringA(NULL, NULL, NULL, file.c_str());

    // IDLE, so that the close below is no failed connect; the new values
    // are not used before the next attempt.
    server.Send(GreetingWithCapabilities);
    std::string tag = server.ExpectCommand("LOGIN alice pw");
    ASSERT_FALSE(tag.empty()) << server.LastLine();
    server.Send(tag + " OK logged in\r\n");
    tag = server.ExpectCommand("SELECT INBOX");
    ASSERT_FALSE(tag.empty()) << server.LastLine();
    server.Send(tag + " OK [READ-WRITE] selected\r\n");
    tag = server.ExpectCommand("IDLE");
    ASSERT_FALSE(tag.empty()) << server.LastLine();
    server.Send("+ idling\r\n");
    server.Close();

    ASSERT_TRUE(server.Accept(20000)) << "no new attempt after the close";
    EXPECT_GE(WaitFor("trace [01]connect to("), 0) << "the pasted debug=1 did not turn the trace on";
    server.Send(GreetingWithCapabilities);
    EXPECT_FALSE(server.ExpectCommand("LOGIN alice pw").empty()) << "the dialog's key came from the file: "
                                                                  << server.LastLine();
    Settings running = RunningSettings(window);
    EXPECT_EQ(running.debug, 1);
    EXPECT_EQ(running.refreshTime, 3);
    EXPECT_EQ(running.recvTimeout, 7);
    EXPECT_STREQ(running.tlsFingerprint, PastedFingerprint);
    EXPECT_EQ(running.logFile, 1);
    EXPECT_STREQ(running.user, "alice");
    const std::string log = account.Folder() + "qvpush.log";
    EXPECT_TRUE(standin::WaitUntil(
        [&] { return testing_support::ReadFileBytes(log).find("[01]connect to(") != std::string::npos; }, 10000))
        << "the pasted logFile=1 did not start the trace file";

    // The trace file's writer is done with the folder before it goes.
    standin::CloseFolder(window);
    ASSERT_GE(WaitFor("trace [01]thread terminated", 20000), 0);
    EXPECT_TRUE(standin::WaitUntil(
        [&] { return testing_support::ReadFileBytes(log).find("[01]thread terminated") != std::string::npos; },
        10000));
}

TEST_F(LinkedWatchers, HandOverOfTheFileItsKeysWereReadAgainFromKeepsTheConnection)
{
    ScriptServer server;
    TempAccount account;
    AccountIni ini;
    ini.port = server.Port();
    ini.user = "alice";
    ini.pass = "pw";
    // Values the watcher brings into range; the file keeps them as written.
    // Both are above it: one below would renew IDLE at once, and the test
    // could not tell when the hand-over was served.
    ini.refreshTime = 30;
    ini.recvTimeout = 3601;
    WriteAccountIni(account.Folder(), ini);
    WritePrivateProfileStringA("imap4", "tlsFingerprint", PastedFingerprint, account.IniPath().c_str());
    WritePrivateProfileStringA(NULL, NULL, NULL, account.IniPath().c_str());
    HWND window = standin::OpenFolder(account.Folder());
    ASSERT_TRUE(server.Accept(20000));
    ASSERT_TRUE(PlayToIdle(server, mark));

    // What the settings flow hands over after the dialog confirmed no change.
    size_t handed = standin::LogSize();
    standin::Run([&] {
        Watcher* watcher = FindWatcherByWindow(window);
        ASSERT_NE(watcher, nullptr);
        Settings settings;
        LoadSettings(account.Folder().c_str(), &settings);
        UpdateSettings(watcher, settings);
    });
    ExpectConnectionStays(server, handed);
}

TEST_F(LinkedWatchers, SwitchedOnBySettingsAfterStartingOff)
{
    TempAccount account;
    std::string user = WriteDovecotAccount(account.Folder());
    WritePrivateProfileStringA("imap4", "use", "0", account.IniPath().c_str());
    HWND window = standin::OpenFolder(account.Folder());
    standin::Run([&] {
        Watcher* watcher = FindWatcherByWindow(window);
        ASSERT_NE(watcher, nullptr);
        Settings settings;
        LoadSettings(account.Folder().c_str(), &settings);
        settings.use = 1;
        UpdateSettings(watcher, settings);
    });
    ASSERT_GE(WaitFor("trace [01]IDLE mode", 20000), 0);
    EXPECT_EQ(Count("trace [01]connect to("), 1);
}

TEST_F(LinkedWatchers, ReleaseRightAfterCreationEndsCleanly)
{
    ScriptServer closed;
    closed.StopListening();
    TempAccount account;
    AccountIni ini;
    ini.port = closed.Port();
    ini.user = "u";
    ini.pass = "p";
    WriteAccountIni(account.Folder(), ini);
    double took = 0;
    standin::Run([&] {
        HWND window = standin::OpenFolder(account.Folder());
        double start = standin::NowMs();
        standin::CloseFolder(window);
        took = standin::NowMs() - start;
    });
    long ended = WaitFor("trace [01]thread terminated");
    ASSERT_GE(ended, 0);
    EXPECT_LT(WaitFor("trace [01]thread end"), ended);
    // The worker ends at once on the stop; the host would stop waiting for
    // it after 100 ms in any case. The close no longer pauses a second.
    EXPECT_LT(took, 500.0);
}

TEST_F(LinkedWatchers, SettingsThatCannotBePostedAreFreed)
{
    // A watcher whose thread is gone: every post fails.
    DWORD endedThread = 0;
    HANDLE thread = CreateThread(NULL, 0, ReturnAtOnce, NULL, 0, &endedThread);
    WaitForSingleObject(thread, INFINITE);
    Watcher watcher;
    watcher.thread.Attach(thread);
    watcher.threadId = endedThread;
    watcher.session.settings.use = 0;
    Settings settings;
    LoadSettings("C:\\no such folder\\", &settings);
    settings.use = 1;

    double before = process_stats::CommittedMb();
    for (int i = 0; i < 100000; ++i)
        UpdateSettings(&watcher, settings);
    double growthMb = process_stats::CommittedMb() - before;
    EXPECT_FALSE(PostThreadMessageA(endedThread, WM_NULL, 0, 0)) << "the post was meant to fail";
    watcher.thread.Close();
    // 100000 lost copies of the record would be about 50 MB.
    EXPECT_LT(growthMb, 8.0);
}

TEST_F(LinkedWatchers, AWorkerThatNeverStartedIsNotWaitedFor)
{
    TempAccount first;
    TempAccount second;
    AccountIni ini;
    ini.use = 0;
    WriteAccountIni(first.Folder(), ini);
    WriteAccountIni(second.Folder(), ini);
    // Both windows exist before the address space runs out, so that the
    // close is sure to reach the plug-in. They share the first account's
    // watcher, which keeps running meanwhile: a thread that ended now could
    // not leave cleanly.
    HWND stays = standin::OpenFolder(first.Folder());
    HWND window = standin::OpenFolder(first.Folder());
    ASSERT_TRUE(IsWindow(stays));
    ASSERT_TRUE(IsWindow(window));

    // Leave the process no address space for a thread's stack.
    std::vector<void*> reserved;
    for (SIZE_T size = 256 * 1024 * 1024; size >= 64 * 1024; size /= 2)
        while (void* block = VirtualAlloc(NULL, size, MEM_RESERVE, PAGE_NOACCESS))
            reserved.push_back(block);
    // The window now shows the second account, whose new watcher cannot
    // start its thread; then the window closes.
    bool threadless = false;
    standin::SetAccount(window, second.Folder());
    standin::Run([&] {
        standin::LoadFolder(window);
        Watcher* watcher = FindWatcherByWindow(window);
        threadless = watcher != NULL && !watcher->thread.Valid();
        standin::CloseFolder(window); // would wait forever for a missing thread
    });
    for (void* block : reserved)
        VirtualFree(block, 0, MEM_RELEASE);
    if (!threadless)
        GTEST_SKIP() << "the system still found room for a thread";
    EXPECT_GE(WaitFor("QPCFolderClose(" + Hex(window) + ") -> "), 0) << "the window's close never reached the plug-in";
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(Count("trace [02]thread"), 0) << "no worker ever ran";
}

} // namespace

// keepAlive: 0 is off; a negative value is the default, and the idle time
// stays within what the system takes.
TEST(KeepInRange, KeepAliveIsOffAtZeroTheDefaultWhenNegativeAndAtMostTwoHours)
{
    const int cases[][2] = {{60, 60}, {0, 0}, {1, 1}, {7200, 7200}, {7201, 7200},
                            {INT_MAX, 7200}, {-1, 60}, {INT_MIN, 60}};
    for (const auto& c : cases) {
        Settings settings;
        memset(&settings, 0, sizeof settings);
        settings.keepAlive = c[0];
        KeepInRange(&settings);
        EXPECT_EQ(settings.keepAlive, c[1]) << "keepAlive " << c[0];
    }
}

// The values a watcher works with; the file keeps what the user wrote.
TEST(KeepInRange, RefreshTimeRecvTimeoutAndPortAreBroughtIntoRange)
{
    struct Case {
        int refreshTime, recvTimeout, port;
        int wantRefresh, wantRecv, wantPort;
    } cases[] = {
        {12, 20, 143, 12, 20, 143},       // the defaults stay
        {0, 0, 993, 1, 0, 993},           // 0 minutes would renew at every step; 0 s is no limit
        {-5, -5, 0, 1, 20, 143},          // a negative time would wrap around
        {30, 3601, 65536, 29, 3600, 143}, // servers end IDLE at 30 minutes
        {29, 3600, 65535, 29, 3600, 65535},
        {1, 1, 1, 1, 1, 1},
        {INT_MAX, INT_MAX, INT_MAX, 29, 3600, 143},
        {INT_MIN, INT_MIN, INT_MIN, 1, 20, 143},
    };
    for (const Case& c : cases) {
        Settings settings;
        memset(&settings, 0, sizeof settings);
        settings.refreshTime = c.refreshTime;
        settings.recvTimeout = c.recvTimeout;
        settings.port = c.port;
        KeepInRange(&settings);
        EXPECT_EQ(settings.refreshTime, c.wantRefresh) << "refreshTime " << c.refreshTime;
        EXPECT_EQ(settings.recvTimeout, c.wantRecv) << "recvTimeout " << c.recvTimeout;
        EXPECT_EQ(settings.port, c.wantPort) << "port " << c.port;
    }
}

TEST(KeepInRange, PortOutOfRangeBecomesTheUsualPortOfTheEncryption)
{
    const int cases[][3] = {{0, 0, 143}, {1, 0, 993}, {2, 0, 143}, {1, 65536, 993}, {2, -1, 143}, {1, 995, 995}};
    for (const auto& c : cases) {
        Settings settings;
        memset(&settings, 0, sizeof settings);
        settings.refreshTime = 12;
        settings.tls = c[0];
        settings.port = c[1];
        KeepInRange(&settings);
        EXPECT_EQ(settings.port, c[2]) << "tls " << c[0] << ", port " << c[1];
    }
}
