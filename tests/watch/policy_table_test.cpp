// The watch policy as a session lives it: a session driven exactly as the
// worker drives it, against servers that fail it in the ways a user meets.
// For each way the table says what must follow: the states the published
// status passes through, the pause the session takes after each failure and
// keeps before its next attempt, and the notices (the connect-failed box
// with its reason, the login-failed box, mail).
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "standin/host.h"
#include "support/script_server.h"
#include "support/session_harness.h"
#include "watch/session.h"

namespace {

// What a scripted server does with one accepted connection.
enum Script {
    Silent,            // accepts and never greets
    ByeGreeting,       // "* BYE" as the greeting
    CloseAfterLoginOk, // closes right after the OK to LOGIN
    NoToSelect,        // answers SELECT with NO
    IdleAMinuteDrop,   // lets IDLE hold 61 s, then closes
    PollingDrop,       // LOGIN's OK lists no IDLE; closes once the session polls
};

enum Peer {
    NothingListens, // every connect is refused
    Scripted,       // a script server; each connection gets the next script
    TlsTurns,       // the TLS peer's port +8: good and self-signed certificates in turn
};

const int TlsTurnsOffset = 8;

struct PolicyCase {
    const char* name;
    Peer peer;
    std::vector<Script> connections; // Scripted: one script per failing attempt, in turn
    // The published status, change by change, up to the start of the
    // attempt after the last failure.
    std::vector<WatchState> states;
    // The pause after each failure ("retry in"), in order; one attempt more
    // than failures is watched.
    std::vector<unsigned> waitsMs;
    int toldAt;               // the failure (from 1) that shows the connect-failed box; 0: none
    ConnectFailReason reason; // the box's lParam
    int mails;                // mail notices
};

void PrintTo(const PolicyCase& c, std::ostream* os)
{
    *os << c.name;
}

const WatchState C = WatchConnecting;
const WatchState L = WatchLoggingIn;
const WatchState I = WatchIdling;
const WatchState P = WatchPolling;
const WatchState W = WatchWaitingToRetry;

// What a case watches. Pauses are measured from the "retry in" line of a
// failure to the "connect to(" line of the next attempt, so that they hold
// the wait alone and neither the dialogue nor the close before it.
const double WaitSlackBelowMs = 100.0; // the wait counts from just before its trace line
const double WaitSlackAboveMs = 2000.0;
const DWORD AcceptTimeoutMs = 40000;  // the longest wait in the table plus a silent greeting's 20 s

const char* StateName(WatchState state)
{
    switch (state) {
    case WatchSwitchedOff:
        return "SwitchedOff";
    case WatchWaitingToRetry:
        return "WaitingToRetry";
    case WatchConnecting:
        return "Connecting";
    case WatchLoggingIn:
        return "LoggingIn";
    case WatchIdling:
        return "Idling";
    case WatchPolling:
        return "Polling";
    case WatchLoginRefused:
        return "LoginRefused";
    }
    return "?";
}

std::string StateNames(const std::vector<WatchState>& states)
{
    std::string names;
    for (WatchState state : states)
        names += (names.empty() ? "" : " ") + std::string(StateName(state));
    return names;
}

// Records the status as another thread reads it, the attempts and the
// failures of one session.
//
// The status is sampled from two sides, both under one lock, so that the
// record keeps the order of the reads and drops a sample equal to the one
// before. The trace hook runs on the worker at each of its trace lines,
// while the worker cannot publish: it catches every state the worker enters
// and then traces in, however briefly it holds (Connecting at "connect
// to(", even when the connect is refused at once; LoggingIn at the LOGIN;
// Idling at "IDLE mode"; Polling at "NOOP mode"). WaitingToRetry is
// published just after its "retry in" line, and nothing is traced until the
// next attempt has published Connecting, so the hook never sees it; a
// thread of the test reads the status every 5 ms, and the pause lasts 3 s
// at least. The record ends at the hook of the last watched "connect to(",
// so a late state of that attempt never enters it.
struct Recorder {
    std::mutex lock;
    Session* session = nullptr;
    size_t attempts = 0; // "connect to(" lines to watch
    bool over = false;
    std::vector<WatchState> states;
    std::string events;              // 'A' for each attempt, 'R' for each "retry in", in order
    std::vector<double> attemptAtMs; // standin::NowMs() of each "connect to("
    std::vector<unsigned> waitsMs;   // each "retry in" value
    std::vector<double> retryAtMs;
    std::vector<int> toldBy;         // connect-failed notices posted by each "retry in"
    size_t mark = 0;                 // the harness's log mark
    HANDLE done = NULL;              // set when the last attempt has started
    HANDLE stopPolling = NULL;
    HANDLE poller = NULL;

    ~Recorder()
    {
        CloseHandle(done);
        CloseHandle(stopPolling);
    }

    // Under `lock`.
    void Sample()
    {
        if (over)
            return;
        WatchState state = ReadStatus(session).state;
        if (states.empty() || states.back() != state)
            states.push_back(state);
    }

    void OnTrace(const std::string& line)
    {
        double now = standin::NowMs();
        if (line.compare(0, 4, "[01]") != 0)
            return;
        std::lock_guard<std::mutex> hold(lock);
        if (over)
            return;
        Sample();
        if (line.find("connect to(") != std::string::npos) {
            events += 'A';
            attemptAtMs.push_back(now);
            if (attemptAtMs.size() == attempts) {
                over = true;
                SetEvent(done);
            }
            return;
        }
        size_t at = line.find("retry in ");
        if (at != std::string::npos) {
            events += 'R';
            waitsMs.push_back(static_cast<unsigned>(strtoul(line.c_str() + at + 9, NULL, 10)));
            retryAtMs.push_back(now);
            // A notice is posted (and logged) on the worker before the
            // failure's "retry in".
            toldBy.push_back(standin::CountLog("post connect-failed", mark));
        }
    }

    static DWORD WINAPI Poll(LPVOID parameter)
    {
        Recorder* recorder = static_cast<Recorder*>(parameter);
        do {
            std::lock_guard<std::mutex> hold(recorder->lock);
            recorder->Sample();
        } while (WaitForSingleObject(recorder->stopPolling, 5) == WAIT_TIMEOUT);
        return 0;
    }
};

// Hooks a recorder to a harness's session before it starts; Finish once
// the session has stopped.
std::shared_ptr<Recorder> Record(SessionHarness* harness, size_t attempts)
{
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    recorder->session = &harness->session;
    recorder->attempts = attempts;
    recorder->mark = harness->mark;
    recorder->done = CreateEventA(NULL, TRUE, FALSE, NULL);
    recorder->stopPolling = CreateEventA(NULL, TRUE, FALSE, NULL);
    recorder->poller = CreateThread(NULL, 0, Recorder::Poll, recorder.get(), 0, NULL);
    // The hook holds the recorder: a trace line of a helper thread that
    // outlives the session still finds it, and finds it over.
    standin::SetTraceHook([recorder](const std::string& line) { recorder->OnTrace(line); });
    return recorder;
}

void Finish(Recorder* recorder)
{
    SetEvent(recorder->stopPolling);
    WaitForSingleObject(recorder->poller, INFINITE);
    CloseHandle(recorder->poller);
    recorder->poller = NULL;
    std::lock_guard<std::mutex> hold(recorder->lock);
    recorder->over = true;
}

class PolicyTable : public ::testing::TestWithParam<PolicyCase> {
protected:
    std::unique_ptr<SessionHarness> harness;
    std::shared_ptr<Recorder> recorder;

    void TearDown() override
    {
        if (harness)
            harness->Stop();
        standin::SetTraceHook(standin::TraceHook());
        if (recorder)
            Finish(recorder.get());
        // What the session did, for a red run.
        if (HasFailure() && harness) {
            for (const standin::TimedLine& line : standin::TimedLogLines(harness->mark))
                printf("  %.0f %s\n", line.ms, line.text.c_str());
        }
    }

    // A session for the case, with its recorder, started.
    void StartSession(const PolicyCase& c, int port, size_t attempts)
    {
        harness.reset();
        harness.reset(new SessionHarness);
        Settings& settings = harness->session.settings;
        settings.port = port;
        SetText(settings.user, "alice");
        SetText(settings.pass, "pw");
        settings.recvAtConnected = 0; // mail only when the server tells it
        settings.recvTimeout = 5;     // the greeting waits 20 s whatever this says
        if (c.peer == TlsTurns) {
            SetText(settings.server, "localhost");
            settings.tls = 1;
        }
        recorder = Record(harness.get(), attempts);
        harness->Start();
    }

    void Expect(ScriptServer& server, const std::string& command, const std::string& tag)
    {
        EXPECT_EQ(server.ExpectCommand(command), tag) << "got: " << server.LastLine();
    }

    void Play(ScriptServer& server, Script script)
    {
        size_t from = standin::LogSize();
        switch (script) {
        case Silent:
            EXPECT_TRUE(server.WaitClosed(30000)) << "the session did not give up on the greeting";
            return;
        case ByeGreeting:
            server.Send("* BYE too many connections\r\n");
            EXPECT_TRUE(server.WaitClosed());
            return;
        default:
            break;
        }
        server.Send(GreetingWithCapabilities);
        Expect(server, "LOGIN alice pw", "C001");
        if (script == CloseAfterLoginOk) {
            server.Send("C001 OK logged in\r\n");
            server.Close();
            return;
        }
        server.Send(script == PollingDrop ? "C001 OK [CAPABILITY IMAP4rev1] logged in\r\n"
                                          : "C001 OK logged in\r\n");
        Expect(server, "SELECT INBOX", "C002");
        if (script == NoToSelect) {
            server.Send("C002 NO [UNAVAILABLE] mailbox busy\r\n");
            EXPECT_TRUE(server.WaitClosed());
            return;
        }
        server.Send("* 0 EXISTS\r\nC002 OK [READ-WRITE] selected\r\n");
        if (script == PollingDrop) {
            EXPECT_GE(standin::WaitForLog("trace [01]NOOP mode", 10000, from), 0) << "no polling";
            server.Close();
            return;
        }
        Expect(server, "IDLE", "C003");
        server.Send("+ idling\r\n");
        EXPECT_GE(standin::WaitForLog("trace [01]IDLE mode", 10000, from), 0) << "no IDLE";
        // The session holds past the minute after which its loss counts
        // afresh; nothing is to happen meanwhile.
        standin::ObserveFor(61000);
        EXPECT_EQ(standin::CountLog("retry in", from), 0) << "the session did not hold IDLE";
        server.Close();
    }

    // The TLS peer's port +8 hands out its two certificates in turn to
    // whoever connects. The case starts with the good one: where the first
    // attempt met the self-signed one instead (a run before left the turn
    // there), a fresh session starts, and meets the good one.
    void StartOnTheGoodCertificate(const PolicyCase& c, size_t attempts)
    {
        for (int tries = 0;; ++tries) {
            StartSession(c, QVPUSH_TLS_PEER_PORT + TlsTurnsOffset, attempts);
            size_t from = harness->mark;
            ASSERT_TRUE(standin::WaitUntil(
                [from] {
                    return standin::CountLog("trace [01]certificate accepted", from) > 0 ||
                           standin::CountLog("trace [01]certificate untrusted", from) > 0;
                },
                30000))
                << "no certificate checked";
            if (standin::CountLog("trace [01]certificate accepted", from) > 0)
                return;
            ASSERT_EQ(tries, 0) << "the self-signed certificate twice in a row: another client takes turns";
            printf("the peer's turn was at the self-signed certificate: a fresh session starts\n");
            harness->Stop();
            standin::SetTraceHook(standin::TraceHook());
            Finish(recorder.get());
        }
    }
};

TEST_P(PolicyTable, StatesPausesAndNoticesFollowTheFailure)
{
    const PolicyCase& c = GetParam();
    const size_t attempts = c.waitsMs.size() + 1;
    ScriptServer server;
    switch (c.peer) {
    case NothingListens:
        server.StopListening();
        StartSession(c, server.Port(), attempts);
        break;
    case Scripted:
        StartSession(c, server.Port(), attempts);
        for (size_t i = 0; i < c.connections.size(); ++i) {
            ASSERT_TRUE(server.Accept(AcceptTimeoutMs)) << "no attempt " << i + 1;
            Play(server, c.connections[i]);
        }
        break;
    case TlsTurns:
        StartOnTheGoodCertificate(c, attempts);
        if (HasFatalFailure())
            return;
        break;
    }
    ASSERT_EQ(WaitForSingleObject(recorder->done, 120000), WAIT_OBJECT_0)
        << "attempt " << attempts << " did not come; events " << recorder->events;
    harness->Stop();
    standin::SetTraceHook(standin::TraceHook());
    Finish(recorder.get());
    const Recorder& r = *recorder;
    // Every post reaches the window, which logs it with its lParam. The
    // counts are taken before any check: GoogleTest writes its failure
    // messages to the debugger output too, and they would land in the log.
    const std::string told = "notice connect-failed (lParam " + std::to_string(static_cast<int>(c.reason)) + ")";
    bool delivered = standin::WaitUntil(
        [&] { return harness->Count("notice connect-failed") >= harness->Count("post connect-failed"); }, 10000);
    const int toldWithReason = harness->Count(told);
    const int connectFailed = harness->Count("notice connect-failed");
    const int loginFailed = harness->Count("post login-failed");
    const int mails = harness->Count("post mail");

    // Each attempt but the last failed once, and each failure was followed
    // by one attempt: no attempt without a counted failure before it.
    std::string events;
    for (size_t i = 0; i < attempts; ++i)
        events += i == 0 ? "A" : "RA";
    EXPECT_EQ(r.events, events);
    EXPECT_EQ(StateNames(r.states), StateNames(c.states));
    EXPECT_EQ(r.waitsMs, c.waitsMs);
    for (size_t i = 0; i < r.waitsMs.size() && i + 1 < r.attemptAtMs.size(); ++i) {
        double gap = r.attemptAtMs[i + 1] - r.retryAtMs[i];
        EXPECT_GE(gap, r.waitsMs[i] - WaitSlackBelowMs) << "attempt " << i + 2 << " came before its pause ended";
        EXPECT_LE(gap, r.waitsMs[i] + WaitSlackAboveMs) << "attempt " << i + 2 << " waited longer than its pause";
    }

    // The box comes with the failure that tells it, once, with its reason.
    for (size_t i = 0; i < r.toldBy.size(); ++i) {
        int expected = c.toldAt != 0 && static_cast<int>(i) + 1 >= c.toldAt ? 1 : 0;
        EXPECT_EQ(r.toldBy[i], expected) << "boxes posted by failure " << i + 1;
    }
    EXPECT_TRUE(delivered) << "a posted box never reached the window";
    EXPECT_EQ(connectFailed, c.toldAt != 0 ? 1 : 0);
    EXPECT_EQ(toldWithReason, c.toldAt != 0 ? 1 : 0) << "the box with reason " << static_cast<int>(c.reason);
    EXPECT_EQ(loginFailed, 0);
    EXPECT_EQ(mails, c.mails);
}

const PolicyCase Cases[] = {
    // Lookups and connects are told from the third refusal in a row.
    {"Refused", NothingListens, {}, {C, W, C, W, C, W, C}, {3000, 3000, 6000}, 3, ReasonNone, 0},
    // Given up after the greeting's 20 s; told at once, once.
    {"Silent", Scripted, {Silent, Silent}, {C, W, C, W, C}, {3000, 3000}, 1, ReasonNone, 0},
    {"ByeGreeting", Scripted, {ByeGreeting, ByeGreeting, ByeGreeting}, {C, W, C, W, C, W, C}, {3000, 3000, 6000},
     1, ReasonNone, 0},
    {"CloseAfterLoginOk", Scripted, {CloseAfterLoginOk, CloseAfterLoginOk, CloseAfterLoginOk},
     {C, L, W, C, L, W, C, L, W, C}, {3000, 3000, 6000}, 1, ReasonNone, 0},
    {"NoToSelect", Scripted, {NoToSelect, NoToSelect, NoToSelect}, {C, L, W, C, L, W, C, L, W, C},
     {3000, 3000, 6000}, 1, ReasonNone, 0},
    // Two failures, then IDLE holds 61 s and is lost: the count starts
    // afresh (3 s, not 6), and grows again with the failures after it, which
    // are not told once the account has worked.
    {"IdleDropAfterAMinute", Scripted, {ByeGreeting, ByeGreeting, IdleAMinuteDrop, ByeGreeting, ByeGreeting},
     {C, W, C, W, C, L, I, W, C, W, C, W, C}, {3000, 3000, 3000, 3000, 6000}, 1, ReasonNone, 0},
    // A lost session is never told; short ones count on.
    {"PollingDrop", Scripted, {PollingDrop, PollingDrop, PollingDrop}, {C, L, P, W, C, L, P, W, C, L, P, W, C},
     {3000, 3000, 6000}, 0, ReasonNone, 0},
    // Good (a mail, then BYE), self-signed, good, self-signed: the refused
    // certificate is told although the account has worked, and once only.
    {"CertificateRefusedAfterAGoodSession", TlsTurns, {}, {C, L, I, W, C, W, C, L, I, W, C, W, C},
     {3000, 3000, 6000, 12000}, 2, ReasonCertUntrusted, 2},
};

INSTANTIATE_TEST_SUITE_P(Cases, PolicyTable, ::testing::ValuesIn(Cases),
                         [](const ::testing::TestParamInfo<PolicyCase>& info) { return std::string(info.param.name); });

} // namespace
