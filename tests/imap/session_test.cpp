// The IDLE watch cycle against a scripted server: the session runs on its
// own thread exactly as the worker runs it, and the test plays the server.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "standin/host.h"
#include "watch/notices.h"
#include "watch/watcher.h"
#include "watch/worker.h"
#include "support/process_stats.h"
#include "support/script_server.h"
#include "support/session_harness.h"
#include "watch/link_checks.h"

namespace {

class Session : public ::testing::Test {
protected:
    ScriptServer server;
    SessionHarness harness;
    ::Session& w = harness.session;

    void SetUp() override
    {
        w.settings.port = server.Port();
        SetText(w.settings.user, "alice");
        SetText(w.settings.pass, "pw");
    }
    void TearDown() override { harness.Stop(); }

    void Connect()
    {
        harness.Start();
        ASSERT_TRUE(server.Accept()) << "the session did not connect";
    }

    void Expect(const std::string& command, const std::string& tag)
    {
        EXPECT_EQ(server.ExpectCommand(command), tag) << "got: " << server.LastLine();
    }

    // Greeting, LOGIN, SELECT with the given untagged lines, IDLE and its
    // continuation, up to the session's "IDLE mode".
    void ReachIdle(const std::vector<std::string>& selectLines = {"* 12 EXISTS", "* 0 RECENT"},
                   const std::string& beforeContinuation = "")
    {
        server.Send(GreetingWithCapabilities);
        Expect("LOGIN alice pw", "C001");
        server.Send("C001 OK logged in\r\n");
        Expect("SELECT INBOX", "C002");
        std::string response;
        for (const std::string& line : selectLines)
            response += line + "\r\n";
        server.Send(response + "C002 OK [READ-WRITE] selected\r\n");
        Expect("IDLE", "C003");
        server.Send(beforeContinuation + "+ idling\r\n");
        ASSERT_GE(harness.WaitFor("trace [01]IDLE mode"), 0);
    }

    // The same on a later connection, whose tags start again at C001.
    void ReachIdleAgain()
    {
        size_t from = standin::LogSize();
        server.Send(GreetingWithCapabilities);
        Expect("LOGIN alice pw", "C001");
        server.Send("C001 OK logged in\r\n");
        Expect("SELECT INBOX", "C002");
        server.Send("* 12 EXISTS\r\nC002 OK [READ-WRITE] selected\r\n");
        Expect("IDLE", "C003");
        server.Send("+ idling\r\n");
        ASSERT_GE(standin::WaitForLog("trace [01]IDLE mode", 10000, from), 0);
    }

    // As ReachIdle, with the continuation and what follows it in one send.
    void ReachIdleWith(const std::string& continuation)
    {
        server.Send(GreetingWithCapabilities);
        Expect("LOGIN alice pw", "C001");
        server.Send("C001 OK logged in\r\n");
        Expect("SELECT INBOX", "C002");
        server.Send("* 12 EXISTS\r\nC002 OK [READ-WRITE] selected\r\n");
        Expect("IDLE", "C003");
        server.Send(continuation);
        ASSERT_GE(harness.WaitFor("trace [01]IDLE mode"), 0);
    }

    // The mail notices posted since the harness started, once the session
    // has read the line `last` (none: what it has read so far) and the
    // notices have settled. New mail is told as soon as no more received
    // lines wait to be read, so a quiet half second after the line means
    // that every notice of it has been posted; each must also have reached
    // the window.
    int MailNoticesAfter(const std::string& last = "")
    {
        if (!last.empty()) {
            EXPECT_GE(harness.WaitFor("trace [01]Recv:" + last), 0) << "the session did not read " << last;
        }
        while (!standin::NoLogFor("post mail", 500, standin::LogSize())) {
        }
        DWORD start = GetTickCount();
        while (harness.Count("notice mail") < harness.Count("post mail") && GetTickCount() - start < 10000)
            Sleep(1);
        EXPECT_EQ(harness.Count("notice mail"), harness.Count("post mail"));
        return harness.Count("notice mail");
    }
};

TEST_F(Session, ByeAsGreetingEndsTheAttemptWithoutLoginAndTheNextWaits)
{
    Connect();
    server.Send("* BYE going away\r\n");
    EXPECT_TRUE(server.WaitClosed());
    double closed = MonotonicMs();
    ASSERT_GE(harness.WaitFor("notice connect-failed"), 0);
    ASSERT_TRUE(server.Accept(15000)) << "no new attempt";
    EXPECT_GE(server.AcceptedAtMs(1) - closed, 2990.0) << "a goodbye counts as a failure";
    EXPECT_EQ(harness.Count(" LOGIN "), 0);
    EXPECT_EQ(harness.Count("notice login-failed"), 0);
}

TEST_F(Session, SilentServerTimesOutAfterTwentySecondsWithOneNotice)
{
    Connect();
    double accepted = server.AcceptedAtMs(0);
    ASSERT_GE(harness.WaitFor("notice connect-failed", 40000), 0);
    double noticed = standin::NowMs();
    EXPECT_TRUE(server.WaitClosed());
    EXPECT_GE(noticed - accepted, 19900.0) << "gave up before the 20 s greeting time-out";
    EXPECT_GE(harness.WaitFor("trace [01]recv timeout(20000)"), 0);
    // The next attempt gets no second notice.
    ASSERT_TRUE(server.Accept(15000));
    EXPECT_EQ(harness.Count("notice connect-failed"), 1);
}

// What the answer to LOGIN leads to.
enum LoginOutcome {
    Accepted,      // SELECT follows
    WrongPassword, // the login-failed box, and the watcher switches off
    TryLater,      // the connection closes, no box, a new attempt 3 s later
    NeedsTls,      // the connect-failed box with the encryption line, a new attempt later
};

struct LoginStatusCase {
    const char* name;
    const char* answer; // untagged lines first, then the status after "C001 "
    LoginOutcome outcome;
};

void PrintTo(const LoginStatusCase& c, std::ostream* os)
{
    *os << c.name;
}

class LoginStatus : public Session, public ::testing::WithParamInterface<LoginStatusCase> {};

TEST_P(LoginStatus, AnswerDecidesBetweenGoingOnWrongPasswordAndTryingAgain)
{
    const LoginStatusCase& c = GetParam();
    Connect();
    server.Send(GreetingWithCapabilities);
    Expect("LOGIN alice pw", "C001");
    std::string answer = c.answer;
    size_t status = answer.rfind('\n') == std::string::npos ? 0 : answer.rfind('\n') + 1;
    server.Send(answer.substr(0, status) + "C001 " + answer.substr(status) + "\r\n");
    switch (c.outcome) {
    case Accepted:
        Expect("SELECT INBOX", "C002");
        EXPECT_EQ(harness.Count("notice login-failed"), 0);
        return;
    case WrongPassword: {
        ASSERT_GE(harness.WaitFor("notice login-failed"), 0);
        EXPECT_TRUE(server.WaitClosed());
        // Switched off: no new attempt, however long the session keeps stepping.
        standin::ObserveFor(4000);
        EXPECT_FALSE(server.Accept(0));
        harness.Stop();
        EXPECT_EQ(w.settings.use, 0);
        EXPECT_EQ(server.Accepted(), 1);
        EXPECT_EQ(harness.Count("notice connect-failed"), 0);
        return;
    }
    case TryLater:
    case NeedsTls: {
        EXPECT_TRUE(server.WaitClosed());
        double closed = MonotonicMs();
        ASSERT_TRUE(server.Accept(15000)) << "no new attempt";
        EXPECT_GE(server.AcceptedAtMs(1) - closed, 2990.0);
        server.Send(GreetingWithCapabilities);
        Expect("LOGIN alice pw", "C001");
        EXPECT_EQ(harness.Count("notice login-failed"), 0);
        EXPECT_EQ(w.settings.use, 1);
        if (c.outcome == NeedsTls) {
            EXPECT_EQ(harness.Count("notice connect-failed (lParam " + std::to_string(ReasonLoginDisabled) + ")"), 1);
        }
        else
            EXPECT_EQ(harness.Count("notice connect-failed"), 0);
        return;
    }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, LoginStatus,
    ::testing::Values(LoginStatusCase{"Ok", "OK logged in", Accepted},
                      LoginStatusCase{"LowerCaseOk", "ok logged in", Accepted},
                      LoginStatusCase{"BareOk", "Ok", Accepted},
                      // Only a NO says that the password is wrong.
                      LoginStatusCase{"Okay", "OKAY", TryLater},
                      LoginStatusCase{"NoStatus", "", TryLater},
                      LoginStatusCase{"PlainNo", "NO bad", WrongPassword},
                      LoginStatusCase{"LowerCaseNo", "no bad", WrongPassword},
                      LoginStatusCase{"AuthenticationFailed", "NO [AUTHENTICATIONFAILED] bad", WrongPassword},
                      LoginStatusCase{"AuthorizationFailed", "NO [AUTHORIZATIONFAILED] no", WrongPassword},
                      LoginStatusCase{"Expired", "NO [EXPIRED] password expired", WrongPassword},
                      LoginStatusCase{"Bad", "BAD syntax", TryLater},
                      LoginStatusCase{"Unavailable", "NO [UNAVAILABLE] try later", TryLater},
                      LoginStatusCase{"Limit", "NO [LIMIT] too many", TryLater},
                      LoginStatusCase{"InUse", "NO [INUSE] busy", TryLater},
                      LoginStatusCase{"NoWithBye", "* BYE shutting down\nNO not now", TryLater},
                      LoginStatusCase{"MixedCaseUnavailable", "No [Unavailable] try later", TryLater},
                      LoginStatusCase{"LowerCaseNoWithBye", "* bye shutting down\nno not now", TryLater},
                      LoginStatusCase{"PrivacyRequired", "NO [PRIVACYREQUIRED] use TLS", NeedsTls}),
    [](const ::testing::TestParamInfo<LoginStatusCase>& info) { return std::string(info.param.name); });

// A plain connection whose greeting lists no capabilities: they are asked
// before the password goes out in the clear.
struct BareGreetingCase {
    const char* name;
    const char* capabilities; // the server's answer to CAPABILITY
    bool loginDisabled;
};

void PrintTo(const BareGreetingCase& c, std::ostream* os)
{
    *os << c.name;
}

class BareGreeting : public Session, public ::testing::WithParamInterface<BareGreetingCase> {};

TEST_P(BareGreeting, CapabilitiesAreAskedBeforeTheLoginInTheClear)
{
    const BareGreetingCase& c = GetParam();
    Connect();
    server.Send("* OK IMAP4 service ready\r\n");
    Expect("CAPABILITY", "C001");
    server.Send(std::string("* CAPABILITY ") + c.capabilities + "\r\nC001 OK done\r\n");
    if (!c.loginDisabled) {
        Expect("LOGIN alice pw", "C002");
        server.Send("C002 OK logged in\r\n");
        Expect("SELECT INBOX", "C003");
        server.Send("* 1 EXISTS\r\nC003 OK [READ-WRITE] selected\r\n");
        Expect("IDLE", "C004");
        server.Send("+ idling\r\n");
        ASSERT_GE(harness.WaitFor("trace [01]IDLE mode"), 0);
        return;
    }
    // No password in the clear: the connection goes without a word more,
    // the box tells why, and the watcher stays on and tries again.
    EXPECT_TRUE(server.WaitClosed());
    std::string line;
    EXPECT_FALSE(server.ReadLine(&line, 0)) << "sent: " << line;
    ASSERT_GE(harness.WaitFor("notice connect-failed (lParam " + std::to_string(ReasonLoginDisabled) + ")"), 0);
    ASSERT_TRUE(server.Accept(15000)) << "no new attempt";
    EXPECT_EQ(harness.Count(" LOGIN "), 0);
    EXPECT_EQ(harness.Count("notice login-failed"), 0);
    EXPECT_EQ(w.settings.use, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BareGreeting,
    ::testing::Values(BareGreetingCase{"LoginAllowed", "IMAP4rev1 IDLE", false},
                      BareGreetingCase{"LoginDisabled", "IMAP4rev1 IDLE LOGINDISABLED", true},
                      BareGreetingCase{"LoginDisabledInLowerCase", "imap4rev1 logindisabled", true}),
    [](const ::testing::TestParamInfo<BareGreetingCase>& info) { return std::string(info.param.name); });

TEST_F(Session, RejectedSelectClosesNotifiesAndTriesAgain)
{
    Connect();
    server.Send(GreetingWithCapabilities);
    Expect("LOGIN alice pw", "C001");
    server.Send("C001 OK\r\n");
    Expect("SELECT INBOX", "C002");
    server.Send("C002 NO [NONEXISTENT] no mailbox\r\n");
    EXPECT_TRUE(server.WaitClosed());
    ASSERT_GE(harness.WaitFor("notice connect-failed"), 0);
    ASSERT_TRUE(server.Accept(15000)) << "no new connection attempt";
    server.Send(GreetingWithCapabilities);
    Expect("LOGIN alice pw", "C001");
}

struct RecentCase {
    const char* name;
    std::vector<std::string> selectLines;
    int recvAtConnected;
    int notices; // mail notices up to and including reaching IDLE
};

void PrintTo(const RecentCase& c, std::ostream* os)
{
    *os << c.name;
}

class SelectResponse : public Session, public ::testing::WithParamInterface<RecentCase> {};

TEST_P(SelectResponse, AtMostOneMailNoticeUpToIdleFromRecentOrTheCheckOnIdle)
{
    w.settings.recvAtConnected = GetParam().recvAtConnected;
    Connect();
    ReachIdle(GetParam().selectLines);
    EXPECT_EQ(MailNoticesAfter(), GetParam().notices);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SelectResponse,
    ::testing::Values(RecentCase{"ZeroRecentThenCheckOnIdle", {"* 0 RECENT"}, 1, 1},
                      RecentCase{"ThreeRecentAndNoSecondCheck", {"* 3 RECENT"}, 1, 1},
                      RecentCase{"ThreeRecentWithoutCheck", {"* 3 RECENT"}, 0, 1},
                      RecentCase{"ZeroRecentWithoutCheck", {"* 0 RECENT"}, 0, 0},
                      RecentCase{"TwoSpacesIsNoCount", {"*  3 RECENT"}, 0, 0},
                      RecentCase{"ExistsDuringSelectIsIgnored", {"* 12 EXISTS", "* 13 EXISTS"}, 0, 0},
                      RecentCase{"CheckOnceWithoutRecentLine", {"* 12 EXISTS"}, 1, 1}),
    [](const ::testing::TestParamInfo<RecentCase>& info) { return std::string(info.param.name); });

TEST_F(Session, ExistsBetweenIdleAndItsContinuationIsMail)
{
    w.settings.recvAtConnected = 0;
    Connect();
    ReachIdle({"* 12 EXISTS"}, "* 13 EXISTS\r\n");
    EXPECT_EQ(MailNoticesAfter(), 1);
}

TEST_F(Session, ExistsBeforeTheContinuationMakesTheCheckOnReachingIdleNeedless)
{
    w.settings.recvAtConnected = 1;
    Connect();
    ReachIdle({"* 12 EXISTS"}, "* 13 EXISTS\r\n");
    EXPECT_EQ(MailNoticesAfter(), 1);
}

struct IdleEnd {
    const char* name;
    const char* line;
};

void PrintTo(const IdleEnd& c, std::ostream* os)
{
    *os << c.name;
}

class IdleEndedByServer : public Session, public ::testing::WithParamInterface<IdleEnd> {};

TEST_P(IdleEndedByServer, ReconnectsAfterThePauseAndHearsTheNextMail)
{
    w.settings.recvAtConnected = 0;
    Connect();
    ReachIdle();
    server.Send(GetParam().line);
    // The session does not stay deaf on a connection whose IDLE is over.
    EXPECT_TRUE(server.WaitClosed());
    double closed = MonotonicMs();
    ASSERT_GE(harness.WaitFor("trace [01]IDLE ended by the server"), 0);
    ASSERT_TRUE(server.Accept(15000));
    EXPECT_GE(server.AcceptedAtMs(1) - closed, 2990.0);
    ReachIdle();
    server.Send("* 13 EXISTS\r\n");
    EXPECT_EQ(MailNoticesAfter("* 13 EXISTS"), 1) << "later mail was not heard";
    EXPECT_EQ(harness.Count("notice connect-failed"), 0) << "IDLE had been reached";
}

INSTANTIATE_TEST_SUITE_P(Table, IdleEndedByServer,
                         ::testing::Values(IdleEnd{"Bye", "* BYE idle too long\r\n"},
                                           IdleEnd{"TaggedCompletion", "C003 OK IDLE terminated\r\n"},
                                           IdleEnd{"TaggedRejection", "C003 BAD not now\r\n"}),
                         [](const ::testing::TestParamInfo<IdleEnd>& info) { return std::string(info.param.name); });

TEST_F(Session, EveryExistsLineInIdleIsMailEvenAfterExpunge)
{
    w.settings.recvAtConnected = 0;
    Connect();
    ReachIdle({"* 12 EXISTS"});
    server.Send("* 3 EXPUNGE\r\n* 11 EXISTS\r\n");
    EXPECT_EQ(MailNoticesAfter("* 11 EXISTS"), 1);
    server.Send("* 2 FETCH (FLAGS (\\Seen))\r\n* 12 EXISTS\r\n");
    EXPECT_EQ(MailNoticesAfter("* 12 EXISTS"), 2);
}

TEST_F(Session, ExistsSplitAcrossTwoSegmentsGivesExactlyOneNotice)
{
    w.settings.recvAtConnected = 0;
    Connect();
    ReachIdle({"* 12 EXISTS"});
    server.Send("* 13 EX");
    // Wait out several of the session's 100 ms polls before the rest comes.
    standin::ObserveFor(300);
    server.Send("ISTS\r\n");
    EXPECT_EQ(MailNoticesAfter("* 13 EXISTS"), 1);
    EXPECT_GE(harness.WaitFor("trace [01]Recv:* 13 EXISTS"), 0);
}

TEST_F(Session, RecentLinesWhileIdlingAreNotMail)
{
    w.settings.recvAtConnected = 0;
    Connect();
    ReachIdle({"* 12 EXISTS"});
    server.Send("* 5 RECENT\r\n* 1 RECENT\r\n");
    EXPECT_EQ(MailNoticesAfter("* 1 RECENT"), 0);
    EXPECT_GE(harness.WaitFor("trace [01]Recv:* 5 RECENT"), 0);
}

TEST_F(Session, RecentLinesWhileIdleIsRenewedAreNotMail)
{
    w.settings.refreshTime = 0; // every idle step renews
    w.settings.recvAtConnected = 0;
    Connect();
    ReachIdle({"* 12 EXISTS"});
    std::string line;
    ASSERT_TRUE(server.ReadLine(&line));
    ASSERT_EQ(line, "DONE");
    server.Send("* 3 RECENT\r\nC003 OK Idle completed\r\n");
    Expect("IDLE", "C004");
    server.Send("* 4 RECENT\r\n+ idling\r\n");
    // The renewals go on; the next one ends with an EXISTS before its
    // completion, which is mail, as a check that the lines are looked at.
    ASSERT_TRUE(server.ReadLine(&line));
    ASSERT_EQ(line, "DONE");
    server.Send("* 13 EXISTS\r\nC004 OK Idle completed\r\n");
    Expect("IDLE", "C005");
    server.Send("+ idling\r\n");
    long exists = harness.WaitFor("Recv:* 13 EXISTS");
    ASSERT_GE(exists, 0);
    ASSERT_GE(standin::WaitForLog("notice mail", 10000, static_cast<size_t>(exists)), 0);
    EXPECT_EQ(harness.Count("notice mail"), 1) << "a RECENT line around DONE was taken for mail";
    EXPECT_GE(harness.WaitFor("trace [01]Recv:* 3 RECENT"), 0);
}

TEST_F(Session, EightBitBytesAreDroppedFromALine)
{
    w.settings.recvAtConnected = 0;
    Connect();
    ReachIdle({"* 12 EXISTS"});
    // Bytes from 0x80 up inside and after the word go; an ASCII trail byte
    // of a double-byte character (0x7B) stays.
    server.Send("* 13 EX\x82\xA0ISTS\x93\xFA\r\n* OK \x93\xFA\x96\x7B\r\n");
    EXPECT_EQ(MailNoticesAfter("* OK {"), 1);
    EXPECT_GE(harness.WaitFor("trace [01]Recv:* 13 EXISTS"), 0);
}

TEST_F(Session, ByeAndCloseArrivingTogetherAreNoticed)
{
    Connect();
    ReachIdle();
    server.Send("* BYE server shutting down\r\n");
    server.Close();
    // Without the close being seen, the session would idle on a dead socket
    // until its renewal is due.
    ASSERT_TRUE(server.Accept(15000)) << "the closed connection was not noticed";
    EXPECT_GE(harness.WaitFor("trace [01]IDLE ended by the server"), 0);
}

TEST_F(Session, DueRenewalWaitsForTheEndOfALineAndItsExistsIsAnnounced)
{
    w.settings.refreshTime = 0; // the renewal is due at every step
    w.settings.recvTimeout = 10;
    w.settings.recvAtConnected = 0;
    Connect();
    // Half a line comes right behind the continuation.
    ReachIdleWith("+ idling\r\n* 13 EXI");
    // DONE now would drop the half line, and the mail in it.
    std::string line;
    EXPECT_FALSE(server.ReadLine(&line, 1500)) << "renewed with a line half read: " << line;
    server.Send("STS\r\n");
    ASSERT_GE(harness.WaitFor("notice mail"), 0);
    ASSERT_TRUE(server.ReadLine(&line));
    EXPECT_EQ(line, "DONE");
    EXPECT_EQ(harness.Count("notice mail"), 1);
}

TEST_F(Session, HalfALineThatNeverEndsIsDroppedAfterTheResponseTimeOutAndTheRenewalGoesOn)
{
    w.settings.refreshTime = 0;
    w.settings.recvTimeout = 1;
    w.settings.recvAtConnected = 0;
    Connect();
    ReachIdleWith("+ idling\r\n* 13 EXI");
    std::string line;
    ASSERT_TRUE(server.ReadLine(&line, 10000)) << "the renewal never came";
    EXPECT_EQ(line, "DONE");
    EXPECT_GE(harness.WaitFor("trace [01]partial line dropped"), 0);
    server.Send("C003 OK idle done\r\n");
    Expect("IDLE", "C004");
    server.Send("+ idling\r\n* 14 EXISTS\r\n");
    ASSERT_GE(harness.WaitFor("notice mail"), 0);
}

// Servers without IDLE are polled. refreshTime 0 polls at the shortest
// pace, once a second.
TEST_F(Session, ServerWithoutIdleAfterLoginIsPolledAndAGrownCountIsMail)
{
    w.settings.refreshTime = 0;
    w.settings.recvAtConnected = 0;
    Connect();
    server.Send("* OK [CAPABILITY IMAP4rev1 IDLE] ready\r\n");
    Expect("LOGIN alice pw", "C001");
    // The capabilities after the login are the ones that count.
    server.Send("C001 OK [CAPABILITY IMAP4rev1 NAMESPACE] logged in\r\n");
    Expect("SELECT INBOX", "C002");
    server.Send("* 5 EXISTS\r\n* 0 RECENT\r\nC002 OK [READ-WRITE] selected\r\n");
    Expect("NOOP", "C003");
    ASSERT_GE(harness.WaitFor("trace [01]NOOP mode"), 0);
    server.Send("C003 OK nothing new\r\n");
    Expect("NOOP", "C004");
    EXPECT_EQ(harness.Count("post mail"), 0);
    server.Send("* 6 EXISTS\r\nC004 OK\r\n"); // a delivery
    Expect("NOOP", "C005");
    EXPECT_EQ(harness.Count("post mail"), 1);
    server.Send("* 2 EXPUNGE\r\n* 6 EXISTS\r\nC005 OK\r\n"); // one deletion and one delivery
    Expect("NOOP", "C006");
    EXPECT_EQ(harness.Count("post mail"), 2);
    server.Send("* 3 EXPUNGE\r\nC006 OK\r\n"); // a deletion alone is no mail
    Expect("NOOP", "C007");
    EXPECT_EQ(harness.Count("post mail"), 2);
    EXPECT_EQ(harness.Count("notice connect-failed"), 0);
}

TEST_F(Session, IdleRefusedFallsBackToPolling)
{
    w.settings.refreshTime = 0;
    w.settings.recvAtConnected = 0;
    Connect();
    server.Send(GreetingWithCapabilities);
    Expect("LOGIN alice pw", "C001");
    server.Send("C001 OK logged in\r\n"); // no capabilities told: IDLE is tried
    Expect("SELECT INBOX", "C002");
    server.Send("* 5 EXISTS\r\nC002 OK [READ-WRITE] selected\r\n");
    Expect("IDLE", "C003");
    server.Send("C003 BAD unknown command\r\n");
    Expect("NOOP", "C004");
    server.Send("* 6 EXISTS\r\nC004 OK\r\n");
    Expect("NOOP", "C005");
    EXPECT_EQ(harness.Count("post mail"), 1);
    EXPECT_EQ(harness.Count("notice connect-failed"), 0);
}

TEST_F(Session, RenewalWithRefreshTimeZeroRunsAtEveryStepAndAnnouncesExists)
{
    w.settings.refreshTime = 0;
    w.settings.recvAtConnected = 0;
    Connect();
    ReachIdle({"* 12 EXISTS"});
    for (int round = 0; round < 3; ++round) {
        std::string tag = "C00" + std::to_string(3 + round);
        std::string line;
        ASSERT_TRUE(server.ReadLine(&line));
        EXPECT_EQ(line, "DONE");
        server.Send("* " + std::to_string(20 + round) + " EXISTS\r\n" + tag + " OK Idle completed\r\n");
        Expect("IDLE", "C00" + std::to_string(4 + round));
        server.Send("+ idling\r\n");
    }
    ASSERT_GE(harness.WaitFor("Recv:* 22 EXISTS"), 0);
    EXPECT_GE(standin::WaitForLog("notice mail", 10000, harness.WaitFor("Recv:* 22 EXISTS")), 0);
    EXPECT_EQ(harness.Count("notice mail"), 3);
    EXPECT_EQ(harness.Count("trace [01]IDLE mode"), 1) << "a renewal is not a new IDLE mode";
}

TEST_F(Session, FailedRenewalReconnectsWithoutNotice)
{
    w.settings.refreshTime = 0;
    Connect();
    ReachIdle();
    std::string line;
    ASSERT_TRUE(server.ReadLine(&line));
    EXPECT_EQ(line, "DONE");
    server.Send("C003 NO idle broke\r\n");
    EXPECT_TRUE(server.WaitClosed());
    ASSERT_TRUE(server.Accept(15000));
    server.Send(GreetingWithCapabilities);
    Expect("LOGIN alice pw", "C001");
    EXPECT_EQ(harness.Count("notice connect-failed"), 0) << "no connect notice once IDLE was reached";
}

// The system's clocks, with the sleep-counting one put forward by the time
// the test says the machine slept.
std::atomic<ULONGLONG> sleptMs{0};
ClockReading ClocksWithSleep()
{
    ClockReading reading = ReadSystemClocks();
    reading.tickMs += sleptMs.load();
    return reading;
}

// After a sleep the idle connection is checked: DONE, then IDLE again when
// the server answers; when it does not answer within the response time-out
// (a peer that went silent), a new connection, which announces later mail.
TEST_F(Session, AfterASleepTheConnectionIsCheckedAndASilentOneReplaced)
{
    sleptMs = 0;
    w.links.readClocks = ClocksWithSleep;
    w.links.watch.checkEveryMs = 500;
    w.settings.recvTimeout = 2;
    w.settings.recvAtConnected = 0;
    Connect();
    ReachIdle();
    // Several comparisons of the clocks go by without a sleep: nothing sent.
    std::string line;
    EXPECT_FALSE(server.ReadLine(&line, 2000)) << "sent without a sleep: " << line;

    // Asleep for an hour: the server answers the check, and the connection stays.
    long mark = static_cast<long>(standin::LogSize());
    sleptMs += 3600000;
    ASSERT_TRUE(server.ReadLine(&line, 10000)) << "no check after the sleep";
    EXPECT_EQ(line, "DONE");
    EXPECT_GE(standin::WaitForLog("trace [01]Resumed from sleep: check connection", 10000, mark), 0);
    server.Send("C003 OK Idle completed\r\n");
    Expect("IDLE", "C004");
    server.Send("+ idling\r\n");
    EXPECT_FALSE(server.ReadLine(&line, 2000)) << "a second check of the same sleep: " << line;

    // Asleep again, and the server has gone silent meanwhile: no answer
    // within the 2 s response time-out, and the session connects again.
    sleptMs += 3600000;
    ASSERT_TRUE(server.ReadLine(&line, 10000)) << "no check after the second sleep";
    EXPECT_EQ(line, "DONE");
    double asked = standin::NowMs();
    ASSERT_TRUE(server.WaitClosed(15000)) << "the silent connection was kept";
    EXPECT_GE(standin::NowMs() - asked, 1900.0) << "closed before the response time-out";
    ASSERT_TRUE(server.Accept(15000));
    ReachIdleAgain();
    server.Send("* 13 EXISTS\r\n");
    ASSERT_GE(harness.WaitFor("notice mail"), 0) << "later mail not announced";
    EXPECT_EQ(harness.Count("notice mail"), 1);
    EXPECT_EQ(harness.Count("notice connect-failed"), 0);
}

// recvTimeout 0 is no limit for commands, but a check after a sleep must
// end: its answers get 20 s.
TEST_F(Session, AfterASleepWithoutAResponseLimitTheCheckWaits20s)
{
    sleptMs = 0;
    w.links.readClocks = ClocksWithSleep;
    w.links.watch.checkEveryMs = 500;
    w.settings.recvTimeout = 0;
    Connect();
    ReachIdle();
    sleptMs += 3600000;
    std::string line;
    ASSERT_TRUE(server.ReadLine(&line, 10000)) << "no check after the sleep";
    EXPECT_EQ(line, "DONE");
    double asked = standin::NowMs();
    ASSERT_TRUE(server.WaitClosed(40000)) << "the check waited without limit";
    double waited = standin::NowMs() - asked;
    EXPECT_GE(waited, 19900.0);
    EXPECT_LT(waited, 30000.0);
    ASSERT_TRUE(server.Accept(15000)) << "no new connection after the check";
}

struct TimeoutCase {
    const char* name;
    int recvTimeout;
    DWORD answerAfterMs;
    bool loginAnswered;
};

void PrintTo(const TimeoutCase& c, std::ostream* os)
{
    *os << c.name;
}

class ResponseTimeout : public Session, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(ResponseTimeout, LoginAnsweredLate)
{
    w.settings.recvTimeout = GetParam().recvTimeout;
    Connect();
    server.Send(GreetingWithCapabilities);
    Expect("LOGIN alice pw", "C001");
    // The server takes its time to answer; a session that gives up before
    // says so meanwhile.
    if (GetParam().loginAnswered)
        EXPECT_TRUE(standin::NoLogFor("notice connect-failed", GetParam().answerAfterMs, standin::LogSize()))
            << "gave up before the answer came";
    else
        standin::ObserveFor(GetParam().answerAfterMs);
    server.Send("C001 OK late\r\n");
    if (GetParam().loginAnswered) {
        Expect("SELECT INBOX", "C002");
        EXPECT_EQ(harness.Count("notice connect-failed"), 0);
    } else {
        ASSERT_GE(harness.WaitFor("notice connect-failed"), 0);
        EXPECT_GE(harness.WaitFor("trace [01]recv timeout(1000)"), 0);
        // The connection goes: it may be logged in by now, and a late OK
        // must not meet a second LOGIN. The next attempt starts afresh.
        EXPECT_TRUE(server.WaitClosed());
        ASSERT_TRUE(server.Accept(15000));
        server.Send(GreetingWithCapabilities);
        Expect("LOGIN alice pw", "C001");
        EXPECT_EQ(harness.Count("notice login-failed"), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ResponseTimeout,
                         // 21 s: longer than the 20 s a response wait has by default.
                         ::testing::Values(TimeoutCase{"ZeroWaits21sForTheAnswer", 0, 21000, true},
                                           TimeoutCase{"OneSecondGivesUpOnAnAnswerAfter1500ms", 1, 1500, false}),
                         [](const ::testing::TestParamInfo<TimeoutCase>& info) {
                             return std::string(info.param.name);
                         });

// The monotonic time at which log line `index` was logged.
double LoggedAtMs(long index)
{
    return standin::TimedLogLines(static_cast<size_t>(index)).front().ms;
}

TEST_F(Session, RefusedConnectsAre3sApartAndTheThirdNotifiesOnce)
{
    server.StopListening();
    harness.Start();
    std::vector<long> attempts;
    long from = static_cast<long>(harness.mark);
    for (int i = 0; i < 5; ++i) {
        long line = standin::WaitForLog("trace [01]connect to(127.0.0.1,", 30000, from);
        ASSERT_GE(line, 0) << "attempt " << i;
        attempts.push_back(line);
        from = line + 1;
    }
    for (size_t i = 1; i < attempts.size(); ++i)
        EXPECT_GE(LoggedAtMs(attempts[i]) - LoggedAtMs(attempts[i - 1]), 2990.0)
            << "attempt " << i << " came too soon after the one before";
    long notice = harness.WaitFor("notice connect-failed");
    ASSERT_GE(notice, 0);
    EXPECT_GT(notice, attempts[2]) << "noticed before the third failure";
    EXPECT_LT(notice, attempts[3]) << "the third failure must notify before the fourth attempt";
    EXPECT_EQ(harness.Count("notice connect-failed"), 1) << "only while a notice is pending";
    ASSERT_GE(standin::WaitForLog("trace [01]connect error(", 10000, attempts[4]), 0)
        << "every attempt fails at connect";
}

TEST_F(Session, FiftyMegabyteLineWithoutLfLeavesMemoryFlat)
{
    w.settings.recvAtConnected = 0;
    Connect();
    ReachIdle({"* 12 EXISTS"});
    double peakBefore = process_stats::PeakWorkingSetMb();
    std::string chunk(1024 * 1024, 'A');
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(server.Send(chunk)) << "chunk " << i;
    server.Send("\r\n* 13 EXISTS\r\n");
    EXPECT_EQ(MailNoticesAfter("* 13 EXISTS"), 1) << "the line after the long one was not heard";

    double peakAfter = process_stats::PeakWorkingSetMb();
    printf("50 MB line: peak working set %.1f MB before, %.1f MB after\n", peakBefore, peakAfter);
    // An unbounded line would hold all 50 MB at its peak (and more while its
    // buffer grows); the bound keeps 64 KiB.
    EXPECT_LT(peakAfter - peakBefore, 24.0);
}

// A polling session whose link must be checked (the machine slept) asks the
// server at once with its NOOP, instead of waiting for the next poll.
TEST_F(Session, PollingSessionChecksItsLinkWithANoopAtOnce)
{
    sleptMs = 0;
    w.links.readClocks = ClocksWithSleep;
    w.links.watch.checkEveryMs = 500;
    w.settings.refreshTime = 1; // a poll a minute
    w.settings.recvAtConnected = 0;
    Connect();
    server.Send(GreetingWithCapabilities);
    Expect("LOGIN alice pw", "C001");
    server.Send("C001 OK [CAPABILITY IMAP4rev1] logged in\r\n");
    Expect("SELECT INBOX", "C002");
    server.Send("* 5 EXISTS\r\nC002 OK [READ-WRITE] selected\r\n");
    ASSERT_GE(harness.WaitFor("trace [01]NOOP mode"), 0);
    std::string line;
    EXPECT_FALSE(server.ReadLine(&line, 2000)) << "sent without a reason: " << line;
    sleptMs += 3600000;
    Expect("NOOP", "C003");
    server.Send("* 6 EXISTS\r\nC003 OK\r\n");
    EXPECT_GE(harness.WaitFor("post mail"), 0) << "the check's answer was not read";
}

// Lines already received when a poll falls due are read before its NOOP:
// a deletion and a delivery in one segment, read slowly, still give mail.
TEST_F(Session, LinesWaitingWhenThePollFallsDueAreReadFirst)
{
    w.settings.refreshTime = 0; // a poll a second
    w.settings.recvAtConnected = 0;
    Connect();
    server.Send(GreetingWithCapabilities);
    Expect("LOGIN alice pw", "C001");
    server.Send("C001 OK [CAPABILITY IMAP4rev1] logged in\r\n");
    Expect("SELECT INBOX", "C002");
    server.Send("* 5 EXISTS\r\nC002 OK [READ-WRITE] selected\r\n");
    Expect("NOOP", "C003");
    // The reading of the deletion takes longer than the poll's interval.
    standin::SetTraceHook([](const std::string& traced) {
        if (traced.find("Recv:* 3 EXPUNGE") != std::string::npos)
            Sleep(1500);
    });
    server.Send("C003 OK\r\n* 3 EXPUNGE\r\n* 8 EXISTS\r\n");
    Expect("NOOP", "C004");
    standin::SetTraceHook(standin::TraceHook());
    server.Send("C004 OK\r\n");
    EXPECT_GE(harness.WaitFor("post mail"), 0) << "the EXISTS that waited behind the deletion was lost";
    EXPECT_EQ(harness.Count("post mail"), 1);
}

// Mail read just as the stop is requested is not told: the stop ends the
// dialogue at once, and no notice goes out after it.
TEST_F(Session, NoMailNoticeOnceAStopIsRequested)
{
    w.settings.recvAtConnected = 0;
    Connect();
    ReachIdle({"* 12 EXISTS"});
    ::Session* session = &w;
    standin::SetTraceHook([session](const std::string& traced) {
        if (traced.find("Recv:* 13 EXISTS") != std::string::npos)
            RequestStop(session);
    });
    server.Send("* 13 EXISTS\r\n");
    EXPECT_TRUE(server.WaitClosed()) << "the stop did not end the session";
    standin::SetTraceHook(standin::TraceHook());
    harness.Stop();
    EXPECT_EQ(harness.Count("post mail"), 0) << "a mail notice after the stop request";
}

// A watcher's own notices go to its front window, and nowhere while it has
// none: nothing is posted, not even traced as posted.
TEST(WatcherNotices, GoToTheFrontWindowAndNowhereWithoutOne)
{
    SessionHarness harness;
    MailArrivedCommand = MailNotice;
    ConnectFailedCommand = ConnectFailedNotice;
    LoginFailedCommand = LoginFailedNotice;
    Watcher watcher;
    watcher.serial = 1;
    SetWatcherNotices(&watcher);
    ::Session& w = watcher.session;
    w.serial = 1;
    w.settings.debug = 1;
    const SessionEvents& events = w.events;
    events.connectFailed(events.owner, ConnectFailure());
    events.mailArrived(events.owner);
    events.loginFailed(events.owner);
    watcher.windows.push_back(harness.noticeWindow());
    events.mailArrived(events.owner);
    ASSERT_GE(harness.WaitFor("notice mail"), 0);
    EXPECT_EQ(harness.Count("notice "), 1) << "posted: " << harness.Count("notice connect-failed")
                                           << " connect-failed, " << harness.Count("notice login-failed")
                                           << " login-failed, " << harness.Count("notice mail") << " mail";
    EXPECT_EQ(harness.Count("trace [01]Connect failed"), 0);
    EXPECT_EQ(harness.Count("trace [01]Login failed"), 0);
}

} // namespace
