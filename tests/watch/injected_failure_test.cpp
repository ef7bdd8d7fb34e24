// Exceptions where the plug-in's code meets them: an allocation that fails
// (or throws something else) at an exact point of a watcher's dialogue, or
// while the host's thread makes a watcher. The plug-in's code is linked into
// this program, whose global operator new fails on demand
// (support/alloc_failure.h); the stand-in host's trace capture arms the
// failure on the tracing thread right at a given trace line.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "host/plugin.h"
#include "standin/host.h"
#include "support/alloc_failure.h"
#include "support/host_fixture.h"
#include "support/linked_plugin.h"
#include "support/script_server.h"
#include "support/temp_account.h"
#include "watch/account_ini.h"
#include "watch/registry.h"
#include "watch/worker.h"

using testing_support::TempAccount;

namespace {

// Long enough for the pause after a failed attempt (3 s), the close's pause
// (1 s) and a TLS handshake with its first certificate check under load.
const DWORD AttemptWaitMs = 30000;

class InjectedFailures : public HostTest {
protected:
    void SetUp() override
    {
        standin::CaptureTrace();
        linked_plugin::Use(&options);
        HostTest::SetUp();
    }
    void TearDown() override
    {
        alloc_failure::Disarm();
        HostTest::TearDown();
        if (HasFailure()) {
            for (const std::string& line : standin::LogLines())
                printf("  %s\n", line.c_str());
        }
    }

    // Lines from `from` up to (not including) `to` that contain `text`.
    static int CountBetween(const std::string& text, long from, long to)
    {
        std::vector<std::string> lines = standin::LogLines();
        int count = 0;
        for (long i = from; i < to && i < static_cast<long>(lines.size()); ++i)
            count += lines[static_cast<size_t>(i)].find(text) != std::string::npos ? 1 : 0;
        return count;
    }

    // Milliseconds between two log lines.
    static double MsBetween(long first, long second)
    {
        std::vector<standin::TimedLine> lines = standin::TimedLogLines();
        return lines.at(static_cast<size_t>(second)).ms - lines.at(static_cast<size_t>(first)).ms;
    }

    std::string SendReceiveOn(HWND window) const { return "send/receive command on " + Hex(window) + " (from the plug-in)"; }
};

// Plays the dialogue from the greeting to IDLE with the server's current
// client (user alice, password pw).
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

// ---- a failure between the TLS handshake and the certificate's verdict ------

TEST_F(InjectedFailures, OutOfMemoryBeforeTheCertificateVerdictClosesWithoutLoginAndRetriesAfterThePause)
{
    TempAccount account;
    AccountIni ini;
    ini.server = "localhost";
    ini.port = QVPUSH_TLS_PEER_PORT; // the peer's good certificate
    ini.user = "peer-user";
    ini.pass = "peer-password";
    WriteAccountIni(account.Folder(), ini);
    WritePrivateProfileStringA("imap4", "tls", "1", account.IniPath().c_str());
    WritePrivateProfileStringA(NULL, NULL, NULL, account.IniPath().c_str());

    // The certificate has arrived and is not yet judged.
    standin::OnTraceLine("[01]TLS handshake(", [] { alloc_failure::ArmHere(alloc_failure::Kind::OutOfMemory); });
    HWND window = standin::OpenFolder(account.Folder());

    long handshake = WaitFor("trace [01]TLS handshake(", AttemptWaitMs);
    ASSERT_GE(handshake, 0) << "no TLS handshake";
    long closed = standin::WaitForLog("trace [01]CloseSocket", AttemptWaitMs, handshake);
    long end = closed >= 0 ? closed : static_cast<long>(standin::LogSize());
    EXPECT_EQ(CountBetween("trace [01]C001 LOGIN", handshake, end), 0)
        << "LOGIN went out on a connection whose certificate was never accepted";
    ASSERT_GE(closed, 0) << "the connection stayed open after the failure";
    EXPECT_EQ(alloc_failure::Thrown(), 1) << "the armed failure was not met";
    EXPECT_EQ(CountBetween("trace [01]step failed(out of memory)", handshake, closed), 1);

    // The next attempt keeps the pace of a failed one, and gets through.
    long again = standin::WaitForLog("trace [01]connect to(", AttemptWaitMs, closed);
    ASSERT_GE(again, 0) << "no later attempt";
    EXPECT_GE(MsBetween(closed, again), 2900.0) << "the attempt after the failure did not wait for the pause";
    long accepted = standin::WaitForLog("trace [01]certificate accepted", AttemptWaitMs, again);
    ASSERT_GE(accepted, 0);
    long login = standin::WaitForLog("trace [01]C001 LOGIN", AttemptWaitMs, again);
    ASSERT_GE(login, 0);
    EXPECT_LT(accepted, login);
    EXPECT_GE(standin::WaitForLog("trace [01]IDLE mode", AttemptWaitMs, login), 0);
    EXPECT_EQ(Count("(callback 4)"), 0) << "a login-failed box";
    (void)window;
}

// ---- a failure while SELECT is answered ------------------------------------

struct StepFailure {
    const char* name;
    alloc_failure::Kind kind;
    const char* trace; // what the worker says of it
};

void PrintTo(const StepFailure& failure, std::ostream* os)
{
    *os << failure.name;
}

class FailureAtSelect : public InjectedFailures, public ::testing::WithParamInterface<StepFailure> {};

// The dialogue broke off after SELECT went out: it must not go on from where
// it broke (a second LOGIN on a logged-in connection, whose NO would read as
// a wrong password), nor may the watcher go deaf. The connection closes, the
// next attempt comes at the pace of a failed one, and later mail is
// announced.
TEST_P(FailureAtSelect, ClosesWithoutASecondLoginRetriesAfterThePauseAndAnnouncesLaterMail)
{
    const StepFailure& failure = GetParam();
    ScriptServer server;
    TempAccount account;
    AccountIni ini;
    ini.port = server.Port();
    ini.user = "alice";
    ini.pass = "pw";
    WriteAccountIni(account.Folder(), ini);
    alloc_failure::Kind kind = failure.kind;
    standin::OnTraceLine("[01]C002 SELECT INBOX", [kind] { alloc_failure::ArmHere(kind); });
    HWND window = standin::OpenFolder(account.Folder());

    ASSERT_TRUE(server.Accept(AttemptWaitMs));
    server.Send(GreetingWithCapabilities);
    std::string tag = server.ExpectCommand("LOGIN alice pw");
    ASSERT_FALSE(tag.empty()) << server.LastLine();
    server.Send(tag + " OK logged in\r\n");
    tag = server.ExpectCommand("SELECT INBOX");
    ASSERT_FALSE(tag.empty()) << server.LastLine();
    server.Send("* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft)\r\n"
                "* OK [PERMANENTFLAGS (\\Seen)] flags\r\n"
                "* 0 EXISTS\r\n"
                "* 0 RECENT\r\n" +
                tag + " OK [READ-WRITE] SELECT completed\r\n");

    // Nothing more may come on this connection but its close.
    std::string line;
    bool more = server.ReadLine(&line, 15000);
    EXPECT_FALSE(more) << "the dialogue went on after the failure: " << line;
    if (more)
        server.Close(); // no answer: a NO to a second LOGIN would be the wrong-password box
    else
        EXPECT_EQ(server.LastLine(), "(no line: connection closed)") << "the connection stayed open";
    EXPECT_EQ(alloc_failure::Thrown(), 1) << "the armed failure was not met";
    long failed = WaitFor(std::string("trace [01]") + failure.trace, 5000);
    EXPECT_GE(failed, 0) << "the failure was not traced";

    ASSERT_TRUE(server.Accept(AttemptWaitMs)) << "no later attempt: the watcher went deaf";
    long closed = WaitFor("trace [01]CloseSocket");
    long again = standin::WaitForLog("trace [01]connect to(", 5000, closed);
    ASSERT_GE(closed, 0);
    ASSERT_GE(again, 0);
    EXPECT_GE(MsBetween(closed, again), 2900.0) << "the attempt after the failure did not wait for the pause";
    size_t replay = standin::LogSize();
    ASSERT_TRUE(PlayToIdle(server, replay));
    ASSERT_TRUE(server.Send("* 1 EXISTS\r\n"));
    EXPECT_GE(standin::WaitForLog(SendReceiveOn(window), 20000, replay), 0) << "later mail was not announced";
    EXPECT_EQ(Count("trace [01]Login failed"), 0);
    EXPECT_EQ(Count("(callback 4)"), 0) << "a login-failed box";
}

INSTANTIATE_TEST_SUITE_P(
    Table, FailureAtSelect,
    ::testing::Values(StepFailure{"OutOfMemory", alloc_failure::Kind::OutOfMemory, "step failed(out of memory)"},
                      StepFailure{"OtherException", alloc_failure::Kind::Other, "step failed(exception)"}),
    [](const ::testing::TestParamInfo<StepFailure>& info) { return std::string(info.param.name); });

// ---- a failure while the host's thread makes a watcher ---------------------

struct Sweep {
    const char* name;
    int debug; // with the trace on, the host's thread also traces as it detaches and stops
    int use;
};

void PrintTo(const Sweep& sweep, std::ostream* os)
{
    *os << sweep.name;
}

class FailedWatcherCreation : public InjectedFailures, public ::testing::WithParamInterface<Sweep> {
protected:
    // The window's watcher traces: its worker has read the settings file.
    bool WindowTraces(HWND window)
    {
        bool traces = false;
        standin::Run([&] {
            Watcher* watcher = FindWatcherByWindow(window);
            traces = watcher != NULL && WatcherTraceEnabled(watcher);
        });
        return traces;
    }
};

// Every allocation of the host's thread in QPCFolderLoad, made to fail one
// after the other, as the window turns from its first account to a second:
// whatever failed, no half-made watcher stays behind. The window is looked up
// after each failure (it turns back to its first account) without a crash,
// and once nothing fails the second account's watcher is made afresh and
// announces mail; the window closes cleanly.
TEST_P(FailedWatcherCreation, LeavesNoEntryAndTheWindowIsWatchedLater)
{
    const Sweep& sweep = GetParam();
    ScriptServer refused;
    refused.StopListening();
    ScriptServer server;
    TempAccount first;
    TempAccount second;
    AccountIni ini;
    ini.debug = sweep.debug;
    ini.use = sweep.use;
    ini.port = refused.Port(); // attempts, when on, fail at once and come again
    WriteAccountIni(first.Folder(), ini);
    WriteAccountIni(second.Folder(), ini);
    HWND window = standin::OpenFolder(first.Folder());
    ASSERT_TRUE(IsWindow(window));

    int failures = 0;
    for (int pass = 0; pass < 200; ++pass) {
        if (sweep.debug != 0) {
            ASSERT_TRUE(standin::WaitUntil([&] { return WindowTraces(window); }, 10000));
        }
        standin::SetAccount(window, second.Folder());
        bool thrown = false;
        int attached = -1;
        standin::Run([&] {
            alloc_failure::ArmHere(alloc_failure::Kind::OutOfMemory, pass);
            attached = QPCFolderLoad(window, 0);
            thrown = alloc_failure::Disarm();
        });
        if (!thrown) {
            EXPECT_EQ(attached, 1) << "nothing failed, and the window has no watcher of its own";
            break;
        }
        // The load gave up (0), or went on without a trace line it could
        // not make; either way the registry must be whole.
        ++failures;
        // The window is looked up as it turns back to the first account.
        standin::SetAccount(window, first.Folder());
        size_t before = standin::LogSize();
        standin::LoadFolder(window);
        ASSERT_GE(standin::WaitForLog("QPCFolderLoad(" + Hex(window) + ") -> ", 5000, before), 0)
            << "after allocation " << pass << " failed, the window could not turn back";
    }
    EXPECT_GE(failures, 4) << "too few allocations were reached for the sweep to mean anything";

    // Now watched for real: the second account's watcher, made afresh. The
    // last one of the sweep goes first, so that only the new one reads the
    // file that turns it on.
    standin::SetAccount(window, first.Folder());
    standin::LoadFolder(window);
    ini.use = 1;
    ini.debug = 1;
    ini.port = server.Port();
    ini.user = "alice";
    ini.pass = "pw";
    WriteAccountIni(second.Folder(), ini);
    standin::SetAccount(window, second.Folder());
    size_t watched = standin::LogSize();
    standin::LoadFolder(window);
    ASSERT_TRUE(server.Accept(AttemptWaitMs)) << "the second account's watcher never connected";
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
    ASSERT_GE(standin::WaitForLog("IDLE mode", 20000, watched), 0);
    ASSERT_TRUE(server.Send("* 1 EXISTS\r\n"));
    EXPECT_GE(standin::WaitForLog(SendReceiveOn(window), 20000, watched), 0) << "mail was not announced";

    size_t closing = standin::LogSize();
    standin::CloseFolder(window);
    EXPECT_GE(standin::WaitForLog("QPCFolderClose(" + Hex(window) + ") -> 0", 5000, closing), 0);
    EXPECT_TRUE(server.WaitClosed());

    // Every watcher that traced was stopped and its worker ended: none was
    // freed while its worker still ran.
    std::vector<std::string> serials;
    for (const std::string& line : standin::TraceLines(mark)) {
        if (line.size() < 4 || line[0] != '[' || line[3] != ']')
            continue;
        std::string serial = line.substr(0, 4);
        if (std::find(serials.begin(), serials.end(), serial) == serials.end())
            serials.push_back(serial);
    }
    EXPECT_FALSE(serials.empty());
    for (const std::string& serial : serials)
        EXPECT_GE(WaitFor("trace " + serial + "thread terminated", 10000), 0)
            << "the worker of watcher " << serial << " never ended";
}

INSTANTIATE_TEST_SUITE_P(
    Table, FailedWatcherCreation,
    ::testing::Values(Sweep{"Quiet", 0, 0},
                      // Its watchers trace, and try to connect (refused) while the sweep runs.
                      Sweep{"Tracing", 1, 1}),
    [](const ::testing::TestParamInfo<Sweep>& info) { return std::string(info.param.name); });

} // namespace
