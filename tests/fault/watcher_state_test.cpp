// What a watcher does where its connection, its pacing and its notices meet:
// a long session lost and the server gone, lines that were already received
// when the next command goes out, a certificate that changes after the
// account has worked, a burst read slowly, and new settings during an
// attempt that waits without limit. qvpush.dll in the stand-in host against
// a script server (and the scripted TLS peer), judged by what the server
// receives, the trace and the host's commands.
#include "fault/fault_fixture.h"

#include <string>
#include <vector>

#include "support/ui.h"

using testing_support::TempAccount;

namespace fault {
namespace {

const char SetupTitle[] = "QV-PUSH設定(IMAP4)";

class WatcherState : public FaultTest {
protected:
    void TearDown() override
    {
        standin::SetTraceHook(standin::TraceHook());
        FaultTest::TearDown();
    }

    // The NowMs() of every log line from `from` on that holds `text`.
    static std::vector<double> TimesOf(const std::string& text, size_t from)
    {
        std::vector<double> times;
        for (const standin::TimedLine& line : standin::TimedLogLines(from))
            if (line.text.find(text) != std::string::npos)
                times.push_back(line.ms);
        return times;
    }

    // Waits until `count` log lines from `from` on hold `text`.
    static bool WaitForCount(const std::string& text, int count, size_t from, DWORD timeoutMs)
    {
        return standin::WaitUntil([&] { return standin::CountLog(text, from) >= count; }, timeoutMs);
    }
};

// A session that held IDLE for over a minute starts the count afresh when it
// is lost; from there every failed attempt counts one more, so that a server
// that stays away is tried 3, 3, 6, 12 ... s apart, not every 3 s for ever.
TEST_F(WatcherState, BackoffGrowsAgainAfterALongSessionIsLostAndTheServerStaysAway)
{
    ScriptServer server;
    TempAccount account;
    ScriptAccount(account, server);
    standin::OpenFolder(account.Folder());
    ASSERT_TRUE(server.Accept(20000));
    ASSERT_TRUE(PlayToIdle(server));
    standin::ObserveFor(61000); // the session holds for more than the minute

    size_t dropped = standin::LogSize();
    server.StopListening();
    server.Close();
    std::string attempt = "trace [01]connect to(127.0.0.1," + std::to_string(server.Port());
    ASSERT_TRUE(WaitForCount(attempt, 4, dropped, 60000)) << "fewer than four attempts in a minute";
    std::vector<double> at = TimesOf(attempt, dropped);
    // The drop is failure 1 and each refused connect one more: the pauses
    // before the attempts are 3, 3, 6 and 12 s (a third refusal also pauses
    // a second as it closes).
    EXPECT_GE(at[1] - at[0], 2900.0);
    EXPECT_GE(at[2] - at[1], 5900.0) << "the pause did not grow after the second refused connect";
    EXPECT_GE(at[3] - at[2], 11900.0) << "the pause did not grow after the third refused connect";
    // The account had worked: the refusals are not told.
    EXPECT_EQ(Count(ConnectFailedCommand()), 0);
}

// Lines already received when the next command goes out are read first:
// an EXISTS that came in the same segment as a completion is mail.
struct ReceivedBefore {
    const char* name;
    bool renewal; // after the DONE of an IDLE renewal, else after SELECT
};

void PrintTo(const ReceivedBefore& c, std::ostream* os)
{
    *os << c.name;
}

class LinesBeforeACommand : public WatcherState, public ::testing::WithParamInterface<ReceivedBefore> {};

TEST_P(LinesBeforeACommand, AreHandledNotThrownAway)
{
    ScriptServer server;
    TempAccount account;
    AccountIni ini;
    ini.refreshTime = 1;
    ScriptAccount(account, server, ini);
    HWND window = standin::OpenFolder(account.Folder());
    ASSERT_TRUE(server.Accept(20000));
    server.Send(GreetingWithCapabilities);
    std::string tag = server.ExpectCommand("LOGIN alice pw");
    ASSERT_EQ(tag, "C001") << server.LastLine();
    server.Send("C001 OK logged in\r\n");
    tag = server.ExpectCommand("SELECT INBOX");
    ASSERT_EQ(tag, "C002") << server.LastLine();
    size_t mark = standin::LogSize();
    if (!GetParam().renewal) {
        // The new message comes in the segment of SELECT's completion.
        server.Send("* 12 EXISTS\r\nC002 OK [READ-WRITE] selected\r\n* 13 EXISTS\r\n");
        tag = server.ExpectCommand("IDLE");
        ASSERT_EQ(tag, "C003") << server.LastLine();
        server.Send("+ idling\r\n");
    } else {
        server.Send("* 12 EXISTS\r\nC002 OK [READ-WRITE] selected\r\n");
        ASSERT_EQ(server.ExpectCommand("IDLE"), "C003") << server.LastLine();
        server.Send("+ idling\r\n");
        std::string line;
        ASSERT_TRUE(server.ReadLine(&line, 70000)) << "no renewal";
        ASSERT_EQ(line, "DONE");
        mark = standin::LogSize();
        // The new message comes in the segment of IDLE's completion.
        server.Send("C003 OK idle done\r\n* 13 EXISTS\r\n");
        ASSERT_EQ(server.ExpectCommand("IDLE"), "C004") << server.LastLine();
        server.Send("+ idling\r\n");
    }
    EXPECT_TRUE(Announced(window, static_cast<long>(mark))) << "the EXISTS read with the completion was lost";
}

INSTANTIATE_TEST_SUITE_P(Table, LinesBeforeACommand,
                         ::testing::Values(ReceivedBefore{"AfterSelect", false}, ReceivedBefore{"AfterRenewal", true}),
                         [](const ::testing::TestParamInfo<ReceivedBefore>& info) { return info.param.name; });

// A server that presents another certificate after the account has worked
// (renewed against a pin, or an interceptor) is told with the box, once for
// each certificate that was not told before.
TEST_F(WatcherState, CertificateRefusedAfterTheAccountWorkedIsToldOncePerCertificate)
{
    TempAccount account;
    AccountIni ini;
    ini.server = "localhost";
    ini.port = QVPUSH_TLS_PEER_PORT + 8; // good and self-signed in turn, BYE after the first mail
    ini.user = "alice";
    ini.pass = "pw";
    WriteAccountIni(account.Folder(), ini);
    WritePrivateProfileStringA("imap4", "tls", "1", account.IniPath().c_str());
    WritePrivateProfileStringA(NULL, NULL, NULL, account.IniPath().c_str());
    standin::OpenFolder(account.Folder());

    ASSERT_GE(WaitFor("trace [01]IDLE mode", 20000), 0);
    ASSERT_GE(WaitFor("trace [01]certificate untrusted", 30000), 0) << "the second certificate was not refused";
    EXPECT_GE(WaitFor(ConnectFailedCommand(), 10000), 0) << "a certificate refused after the account worked was not told";
    HWND box = ui::WaitForWindow("#32770", ErrorCaption, 10000);
    ASSERT_NE(box, nullptr);
    EXPECT_NE(ui::MessageBoxText(box).find("発行元を確認できません"), std::string::npos) << ui::MessageBoxText(box);
    ui::Press(box, IDOK);

    // The good certificate again, then the same refused one: not told twice.
    ASSERT_TRUE(WaitForCount("trace [01]IDLE mode", 2, mark, 40000));
    long first = WaitFor("trace [01]certificate untrusted", 0);
    long second = standin::WaitForLog("trace [01]certificate untrusted", 60000, static_cast<size_t>(first) + 1);
    ASSERT_GE(second, 0) << "the self-signed certificate did not come again";
    EXPECT_TRUE(standin::NoLogFor(ConnectFailedCommand(), 2000, static_cast<size_t>(second)))
        << "the same certificate was told twice";
    EXPECT_EQ(Count(ConnectFailedCommand()), 1);
    EXPECT_EQ(Count("LOGIN alice ****"), 2) << "a login over a refused certificate";
}

// Ten thousand EXISTS lines in one burst, read with the trace on under a
// host that takes its time over each trace line (a debugger's output
// window): the lines already waiting are read before anything is
// announced, so the burst gives one notice and one send/receive command.
TEST_F(WatcherState, BurstReadSlowlyIsAnnouncedOnce)
{
    ScriptServer server;
    TempAccount account;
    ScriptAccount(account, server);
    HWND window = standin::OpenFolder(account.Folder());
    ASSERT_TRUE(server.Accept(20000));
    ASSERT_TRUE(PlayToIdle(server));

    standin::SetTraceHook([](const std::string&) { Sleep(2); });
    std::string burst;
    for (int n = 1; n <= 10000; ++n)
        burst += "* " + std::to_string(n) + " EXISTS\r\n";
    size_t mark = standin::LogSize();
    ASSERT_TRUE(server.Send(burst));
    ASSERT_GE(WaitFor("trace [01]Recv:* 10000 EXISTS", 120000), 0);
    standin::SetTraceHook(standin::TraceHook());
    EXPECT_TRUE(Announced(window, static_cast<long>(mark)));
    // Whatever the host is still doing with it has been asked by now.
    standin::ObserveFor(1000);
    EXPECT_EQ(standin::CountLog(MailCommandOn(window), mark), 1) << "one burst, several notices";
    EXPECT_EQ(standin::CountLog(SendReceiveOn(window), mark), 1) << "one burst, several send/receive commands";
}

// New settings while an attempt waits without limit for the server
// (recvTimeout 0 and a LOGIN never answered) end the attempt at once: that
// is no failure, and the next attempt, with the new settings, starts at
// once.
TEST_F(WatcherState, NewSettingsEndAnAttemptThatWaitsWithoutLimit)
{
    ScriptServer silent;
    ScriptServer next;
    TempAccount account;
    AccountIni ini;
    ini.recvTimeout = 0;
    ScriptAccount(account, silent, ini);
    HWND window = standin::OpenFolder(account.Folder());
    ASSERT_TRUE(silent.Accept(20000));
    silent.Send(GreetingWithCapabilities);
    ASSERT_EQ(silent.ExpectCommand("LOGIN alice pw"), "C001") << silent.LastLine();
    // No answer, ever.

    standin::PostSetup(window);
    HWND setup = ui::WaitForWindow("#32770", SetupTitle, 10000, window);
    ASSERT_NE(setup, nullptr);
    SetDlgItemTextA(setup, 1003, std::to_string(next.Port()).c_str());
    ui::Press(setup, IDOK);
    ASSERT_GE(WaitFor("QPCSetup(" + Hex(window) + ") -> 1"), 0);
    double confirmed = standin::NowMs();
    ASSERT_TRUE(next.Accept(10000)) << "the new settings waited for an answer that never comes";
    EXPECT_LT(next.AcceptedAtMs(0) - confirmed, 2500.0) << "the next attempt waited as after a failure";
    EXPECT_TRUE(silent.WaitClosed(1000));
    ASSERT_TRUE(PlayToIdle(next));
    EXPECT_EQ(Count(ConnectFailedCommand()), 0);
}

} // namespace
} // namespace fault
