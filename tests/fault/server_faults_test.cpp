// Hostile and broken servers, played byte for byte by a script server in the
// test process, against qvpush.dll in the stand-in host. Each case ends with
// the host's window thread answering and with mail announced that the
// server reports after the fault, or, where the fault is the mail itself (a
// line dripped a byte a second, a burst of a thousand EXISTS lines), with
// that mail announced.
#include "fault/fault_fixture.h"

#include <algorithm>
#include <atomic>
#include <random>

#include "support/ui.h"

using testing_support::TempAccount;

namespace fault {
namespace {

class ServerFaults : public FaultTest {};

// Calls the window thread over and over from a thread of its own and keeps
// the longest time a call took, until it is destroyed.
class ResponsivenessProbe {
public:
    ResponsivenessProbe() { thread_ = CreateThread(NULL, 0, Loop, this, 0, NULL); }
    ~ResponsivenessProbe() { Finish(); }

    // Stops probing; the longest call in ms.
    double Finish()
    {
        if (thread_ != NULL) {
            stop_ = true;
            WaitForSingleObject(thread_, INFINITE);
            CloseHandle(thread_);
            thread_ = NULL;
        }
        return worstMs_;
    }
    long calls() const { return calls_; }

private:
    static DWORD WINAPI Loop(LPVOID parameter)
    {
        ResponsivenessProbe* probe = static_cast<ResponsivenessProbe*>(parameter);
        while (!probe->stop_) {
            double start = standin::NowMs();
            standin::Run([] {});
            probe->worstMs_ = std::max(probe->worstMs_.load(), standin::NowMs() - start);
            ++probe->calls_;
            Sleep(5); // pacing of the probe itself
        }
        return 0;
    }
    HANDLE thread_ = NULL;
    std::atomic<bool> stop_{false};
    std::atomic<double> worstMs_{0.0};
    std::atomic<long> calls_{0};
};

TEST_F(ServerFaults, ServerThatAcceptsAndNeverGreetsGetsOneBoxAndMailAfterItIsAnnounced)
{
    ScriptServer server;
    TempAccount account;
    ScriptAccount(account, server);
    HWND window = standin::OpenFolder(account.Folder());
    ASSERT_TRUE(server.Accept(20000));
    double accepted = server.AcceptedAtMs(0);

    // The server says nothing. The window thread keeps answering meanwhile.
    ResponsivenessProbe probe;
    HWND box = ui::WaitForWindow("#32770", ErrorCaption, 40000, window);
    double boxAt = standin::NowMs();
    double worst = probe.Finish();
    ASSERT_NE(box, nullptr) << "no connect-failed box after the greeting time-out";
    EXPECT_EQ(ui::MessageBoxText(box), "IMAP4サーバーへ接続できません");
    EXPECT_GE(boxAt - accepted, 19900.0) << "gave up before the 20 s greeting time-out";
    EXPECT_TRUE(server.WaitClosed()) << "the silent connection was not closed";
    EXPECT_LT(worst, 1000.0) << "the window thread was blocked while the server stayed silent";
    printf("silent server: box after %.0f ms; longest window-thread call %.1f ms in %ld calls\n",
           boxAt - accepted, worst, probe.calls());
    ui::Press(box, IDOK);

    // The watcher comes back, and a server that does greet gets through.
    ASSERT_TRUE(server.Accept(15000)) << "no new attempt after the silent server";
    ASSERT_TRUE(PlayToIdle(server));
    long mark = static_cast<long>(standin::LogSize());
    server.Send("* 1 EXISTS\r\n");
    EXPECT_TRUE(Announced(window, mark));
    EXPECT_EQ(Count(ConnectFailedCommand()), 1);
    EXPECT_TRUE(HostAnswers());
}

TEST_F(ServerFaults, ResetMidIdleReconnectsAfterThePauseAndLaterMailIsAnnounced)
{
    ScriptServer server;
    TempAccount account;
    ScriptAccount(account, server);
    HWND window = standin::OpenFolder(account.Folder());
    ASSERT_TRUE(server.Accept(20000));
    ASSERT_TRUE(PlayToIdle(server));

    double reset = standin::NowMs();
    server.Reset();
    ASSERT_TRUE(server.Accept(15000)) << "no reconnection after the reset";
    double again = server.AcceptedAtMs(1) - reset;
    // A dropped connection is closed (with its one-second pause), and the
    // next attempt waits 3 s from the drop, as after any failure.
    EXPECT_GE(again, 2990.0) << "reconnected " << again << " ms after the reset";
    EXPECT_LT(again, 5500.0) << "reconnected " << again << " ms after the reset";
    ASSERT_TRUE(PlayToIdle(server));
    long mark = static_cast<long>(standin::LogSize());
    server.Send("* 4 EXISTS\r\n");
    EXPECT_TRUE(Announced(window, mark));
    EXPECT_EQ(Count(ConnectFailedCommand()), 0) << "no box once IDLE had been reached";
    EXPECT_TRUE(HostAnswers());
    printf("reset mid-IDLE: reconnected after %.0f ms\n", again);
}

TEST_F(ServerFaults, ResetMidLoginShowsOneBoxAndMailAfterItIsAnnounced)
{
    ScriptServer server;
    TempAccount account;
    ScriptAccount(account, server);
    HWND window = standin::OpenFolder(account.Folder());
    ASSERT_TRUE(server.Accept(20000));
    server.Send(GreetingWithCapabilities);
    ASSERT_EQ(server.ExpectCommand("LOGIN alice pw"), "C001") << server.LastLine();
    double reset = standin::NowMs();
    server.Reset();

    // The first connection never reached IDLE: the user is told once.
    HWND box = ui::WaitForWindow("#32770", ErrorCaption, 40000, window);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(ui::MessageBoxText(box), "IMAP4サーバーへ接続できません");
    ui::Press(box, IDOK);

    ASSERT_TRUE(server.Accept(40000)) << "no reconnection after the reset";
    double again = server.AcceptedAtMs(1) - reset;
    ASSERT_TRUE(PlayToIdle(server));
    long mark = static_cast<long>(standin::LogSize());
    server.Send("* 1 EXISTS\r\n");
    EXPECT_TRUE(Announced(window, mark));
    EXPECT_EQ(Count(ConnectFailedCommand()), 1);
    EXPECT_TRUE(HostAnswers());
    printf("reset mid-login: reconnected after %.0f ms\n", again);
    // A connection known to be gone is not waited on for a greeting: the
    // new attempt comes after the close pause, not after the 20 s greeting
    // time-out.
    EXPECT_LT(again, 6000.0);
}

// ---- random bytes instead of responses --------------------------------------

// Bytes from a fixed seed, so that every run sends the same. They never
// spell EXISTS, so that any mail notice in the idle case is the real one.
std::string RandomBytes(size_t count, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes;
    bytes.reserve(count);
    while (bytes.size() < count)
        bytes += static_cast<char>(generator() & 0xFF);
    for (size_t at = bytes.find("EXISTS"); at != std::string::npos; at = bytes.find("EXISTS"))
        bytes[at] = 'x';
    return bytes;
}

enum class Phase { Greeting, LoginResponse, SelectResponse, IdleContinuation, Idling };

struct RandomCase {
    const char* name;
    Phase phase;
};

void PrintTo(const RandomCase& c, std::ostream* os)
{
    *os << c.name;
}

class RandomResponses : public ServerFaults, public ::testing::WithParamInterface<RandomCase> {};

TEST_P(RandomResponses, NothingBreaksAndTheNextGoodSessionAnnouncesMail)
{
    const Phase phase = GetParam().phase;
    ScriptServer server;
    TempAccount account;
    ScriptAccount(account, server);
    HWND window = standin::OpenFolder(account.Folder());
    // A first clean session, so that later failures owe the user no box.
    ASSERT_TRUE(server.Accept(20000));
    ASSERT_TRUE(PlayToIdle(server));
    server.Close();

    // The next session gets random bytes where the answer should be.
    ASSERT_TRUE(server.Accept(15000));
    std::string junk = RandomBytes(256 * 1024, 20261210 + static_cast<unsigned>(phase));
    std::string tag;
    if (phase != Phase::Greeting) {
        server.Send(GreetingWithCapabilities);
        ASSERT_FALSE((tag = server.ExpectCommand("LOGIN alice pw")).empty()) << server.LastLine();
    }
    if (phase >= Phase::SelectResponse) {
        server.Send(tag + " OK\r\n");
        ASSERT_FALSE((tag = server.ExpectCommand("SELECT INBOX")).empty()) << server.LastLine();
    }
    if (phase >= Phase::IdleContinuation) {
        server.Send(tag + " OK\r\n");
        ASSERT_FALSE((tag = server.ExpectCommand("IDLE")).empty()) << server.LastLine();
    }
    long idleMark = 0;
    if (phase == Phase::Idling) {
        size_t before = standin::LogSize();
        server.Send("+ idling\r\n");
        idleMark = standin::WaitForLog("trace [01]IDLE mode", 20000, before);
        ASSERT_GE(idleMark, 0);
    }
    ASSERT_TRUE(server.Send(junk));
    long mark = static_cast<long>(standin::LogSize());
    if (phase == Phase::Idling) {
        // The same connection goes on: mail reported after the noise counts.
        server.Send("\r\n* 9 EXISTS\r\n");
        EXPECT_TRUE(Announced(window, mark));
        EXPECT_EQ(standin::CountLog("Received MAIL", static_cast<size_t>(idleMark)), 1)
            << "the noise was taken for mail";
    } else {
        server.Close();
        ASSERT_TRUE(server.Accept(30000)) << "no new session after the noise";
        ASSERT_TRUE(PlayToIdle(server));
        mark = static_cast<long>(standin::LogSize());
        server.Send("* 9 EXISTS\r\n");
        EXPECT_TRUE(Announced(window, mark));
    }
    EXPECT_EQ(Count(ConnectFailedCommand()), 0);
    EXPECT_TRUE(HostAnswers());
}

INSTANTIATE_TEST_SUITE_P(
    Phases, RandomResponses,
    ::testing::Values(RandomCase{"AsGreeting", Phase::Greeting}, RandomCase{"AsLoginResponse", Phase::LoginResponse},
                      RandomCase{"AsSelectResponse", Phase::SelectResponse},
                      RandomCase{"AsIdleContinuation", Phase::IdleContinuation},
                      RandomCase{"WhileIdling", Phase::Idling}),
    [](const ::testing::TestParamInfo<RandomCase>& info) { return std::string(info.param.name); });

// ---- size and pace ------------------------------------------------------------

TEST_F(ServerFaults, FiftyMegabyteLineWithoutLfKeepsPeakMemoryLowAndLaterMailIsAnnounced)
{
    ScriptServer server;
    TempAccount account;
    ScriptAccount(account, server);
    HWND window = standin::OpenFolder(account.Folder());
    ASSERT_TRUE(server.Accept(20000));
    ASSERT_TRUE(PlayToIdle(server));

    std::string chunk(1024 * 1024, 'A');
    PeakMemory before = Peaks();
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(server.Send(chunk)) << "chunk " << i;
    long mark = static_cast<long>(standin::LogSize());
    server.Send("\r\n* 51 EXISTS\r\n");
    EXPECT_TRUE(Announced(window, mark, 60000));
    PeakMemory after = Peaks();
    printf("50 MB line: peak commit %.1f -> %.1f MB, peak working set %.1f -> %.1f MB\n", before.commitMb,
           after.commitMb, before.workingSetMb, after.workingSetMb);
    // Holding the line would take 50 MB at least; the plug-in keeps 64 KiB.
    EXPECT_LT(after.workingSetMb - before.workingSetMb, 24.0);
    EXPECT_LT(after.commitMb - before.commitMb, 24.0);
    EXPECT_EQ(standin::CountLog("Received MAIL", static_cast<size_t>(mark)), 1);
    EXPECT_TRUE(HostAnswers());
}

// Sends the bytes one a second, checking the window thread while it waits.
void Drip(ScriptServer& server, const std::string& bytes, double* worstMs)
{
    for (char byte : bytes) {
        double start = standin::NowMs();
        ASSERT_TRUE(server.Send(std::string(1, byte)));
        double took = 0;
        EXPECT_TRUE(HostAnswers(5000, &took));
        *worstMs = std::max(*worstMs, took);
        double left = 1000.0 - (standin::NowMs() - start);
        if (left > 0)
            Sleep(static_cast<DWORD>(left)); // the slow server's own pace
    }
}

TEST_F(ServerFaults, OneByteASecondStillLogsInAndAnnouncesTheLineOnce)
{
    ScriptServer server;
    TempAccount account;
    ScriptAccount(account, server);
    HWND window = standin::OpenFolder(account.Folder());
    ASSERT_TRUE(server.Accept(20000));
    double worst = 0;
    Drip(server, "* OK\r\n", &worst);
    // A greeting without capabilities: they are asked before the login.
    ASSERT_EQ(server.ExpectCommand("CAPABILITY"), "C001") << server.LastLine();
    server.Send("* CAPABILITY IMAP4rev1 IDLE\r\nC001 OK\r\n");
    ASSERT_EQ(server.ExpectCommand("LOGIN alice pw"), "C002") << server.LastLine();
    Drip(server, "C002 OK\r\n", &worst);
    ASSERT_EQ(server.ExpectCommand("SELECT INBOX"), "C003") << server.LastLine();
    server.Send("C003 OK\r\n");
    ASSERT_EQ(server.ExpectCommand("IDLE"), "C004") << server.LastLine();
    server.Send("+ idling\r\n");
    ASSERT_GE(WaitFor("trace [01]IDLE mode"), 0);

    long mark = static_cast<long>(standin::LogSize());
    Drip(server, "* 3 EXISTS\r\n", &worst);
    EXPECT_TRUE(Announced(window, mark));
    EXPECT_EQ(standin::CountLog("Received MAIL", static_cast<size_t>(mark)), 1);
    EXPECT_LT(worst, 1000.0);

    // Closing the window while the server trickles ends the worker at once:
    // the window thread waits at most 100 ms for it.
    server.Send("* OK still");
    standin::CloseFolder(window);
    long closed = WaitFor("QPCFolderClose(" + Hex(window) + ")", 20000);
    ASSERT_GE(closed, 0);
    std::string line = standin::LogLines()[static_cast<size_t>(closed)];
    double ms = atof(line.substr(line.rfind(" in ") + 4).c_str());
    EXPECT_LT(ms, 500.0) << line;
    EXPECT_GE(WaitFor("trace [01]thread terminated"), 0);
    printf("one byte a second: longest window-thread call %.1f ms, close took %.0f ms\n", worst, ms);
}

TEST_F(ServerFaults, TenThousandExistsLinesInOneBurstGiveAtMostTwoNoticesAndLeaveTheWindowThreadResponsive)
{
    ScriptServer server;
    TempAccount account;
    // Without the trace: the stand-in host takes about a millisecond to copy
    // each trace line into its log, which would spread the burst over ten
    // seconds and many send/receive commands.
    AccountIni ini;
    ini.debug = 0;
    ScriptAccount(account, server, ini);
    HWND window = standin::OpenFolder(account.Folder());
    ASSERT_TRUE(server.Accept(20000));
    ASSERT_TRUE(PlayToIdle(server, 0));

    const int lines = 10000;
    std::string burst;
    for (int n = 1; n <= lines; ++n)
        burst += "* " + std::to_string(n) + " EXISTS\r\n";
    size_t mark = standin::LogSize();
    ResponsivenessProbe probe;
    ASSERT_TRUE(server.Send(burst));

    // Every line is seen, but while a notice is outstanding the next mail
    // needs none of its own: the send/receive still to come fetches it too.
    // A notice per line would fill the window thread's message queue.
    EXPECT_TRUE(Announced(window, static_cast<long>(mark), 30000));
    size_t notices = standin::CountLog(MailCommandOn(window), mark);
    EXPECT_GE(notices, 1u);
    EXPECT_LE(notices, 2u) << "one notice per EXISTS line";

    // Each send/receive command answers at least one notice that came after
    // the one before it: none twice for the same mail, none left over. Wait
    // until the host has finished what the burst started: no notice without
    // its command, and every receive dialog dismissed.
    int sends = 0;
    int dismissed = 0;
    DWORD start = GetTickCount();
    bool noticeSince = true;
    int unbacked = 0;
    start = GetTickCount();
    for (;;) {
        sends = dismissed = unbacked = 0;
        noticeSince = false;
        for (const std::string& line : standin::LogLines()) {
            if (line.find(MailCommandOn(window)) != std::string::npos)
                noticeSince = true;
            if (line.find("receive dialog OK pressed for " + Hex(window)) != std::string::npos)
                ++dismissed;
            if (line.find(SendReceiveOn(window)) != std::string::npos) {
                if (!noticeSince)
                    ++unbacked;
                noticeSince = false;
                ++sends;
            }
        }
        if ((!noticeSince && dismissed == sends) || GetTickCount() - start > 30000)
            break;
        standin::WaitForLog("receive dialog OK pressed", 200, standin::LogSize());
    }
    double worst = probe.Finish();
    EXPECT_EQ(unbacked, 0) << "a send/receive command without a new notice";
    EXPECT_GE(sends, 1);
    EXPECT_FALSE(noticeSince) << "a notice was left without a send/receive command";
    EXPECT_LT(worst, 1000.0);
    EXPECT_TRUE(HostAnswers());
    printf("%d EXISTS: %zu notice(s), %d send/receive command(s); longest window-thread call %.1f ms in %ld calls\n",
           lines, notices, sends, worst, probe.calls());
}

// Mail that comes after the send/receive of the notice before it was posted
// has a notice of its own, and waits while the host is busy.
TEST_F(ServerFaults, MailAfterTheSendReceiveWasPostedIsAnnouncedAgainOnceTheHostIsFree)
{
    ScriptServer server;
    TempAccount account;
    ScriptAccount(account, server);
    HWND window = standin::OpenFolder(account.Folder());
    ASSERT_TRUE(server.Accept(20000));
    ASSERT_TRUE(PlayToIdle(server));

    size_t mark = standin::LogSize();
    ASSERT_TRUE(server.Send("* 1 EXISTS\r\n"));
    ASSERT_TRUE(Announced(window, static_cast<long>(mark)));

    standin::SetBusy(true);
    mark = standin::LogSize();
    ASSERT_TRUE(server.Send("* 2 EXISTS\r\n"));
    ASSERT_GE(standin::WaitForLog(MailCommandOn(window), 20000, mark), 0) << "no notice for the second mail";
    EXPECT_TRUE(standin::NoLogFor(SendReceiveOn(window), 1000, mark)) << "a send/receive while the host was busy";
    standin::SetBusy(false);
    EXPECT_TRUE(Announced(window, static_cast<long>(mark)));
    EXPECT_EQ(standin::CountLog(MailCommandOn(window), mark), 1u);
    EXPECT_TRUE(HostAnswers());
}

// A notice posted to a window that closes before the host's timer runs for
// it dies with the window: the next mail is announced in the window that is
// left, at once, not after the notice's hold of a minute.
TEST_F(ServerFaults, WindowClosedBetweenTheNoticeAndItsTimerLeavesTheNextMailAnnounced)
{
    ScriptServer server;
    TempAccount account;
    ScriptAccount(account, server);
    HWND first = standin::OpenFolder(account.Folder());
    HWND second = standin::OpenFolder(account.Folder());
    ASSERT_TRUE(server.Accept(20000));
    ASSERT_TRUE(PlayToIdle(server));

    // While the host is busy its timer keeps the send/receive back.
    standin::SetBusy(true);
    size_t mark = standin::LogSize();
    ASSERT_TRUE(server.Send("* 1 EXISTS\r\n"));
    ASSERT_GE(standin::WaitForLog(MailCommandOn(first), 20000, mark), 0);
    standin::CloseFolder(first);
    standin::SetBusy(false);

    mark = standin::LogSize();
    ASSERT_TRUE(server.Send("* 2 EXISTS\r\n"));
    EXPECT_TRUE(Announced(second, static_cast<long>(mark), 20000));
    EXPECT_EQ(standin::CountLog(MailCommandOn(second), mark), 1u);
    standin::CloseFolder(second);
    EXPECT_TRUE(HostAnswers());
}

} // namespace
} // namespace fault
