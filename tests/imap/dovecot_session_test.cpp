// The IDLE watch cycle against a real Dovecot on loopback.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "standin/host.h"
#include "support/dovecot.h"
#include "support/session_harness.h"

namespace {

class DovecotSession : public ::testing::Test {
protected:
    SessionHarness harness;
    ::Session& w = harness.session;
    std::string user;

    void SetUp() override
    {
        user = dovecot::UniqueUser("s");
        ASSERT_TRUE(dovecot::AddUser(user, "pw-" + user));
        w.settings.port = dovecot::ImapPort();
        SetText(w.settings.user, user);
        SetText(w.settings.pass, "pw-" + user);
        w.settings.recvAtConnected = 0;
    }
    void TearDown() override { harness.Stop(); }

    // Delivers a mail and waits for the mail notice it brings: the one
    // after the server's EXISTS line.
    long DeliverAndWait(const char* subject, long from)
    {
        EXPECT_GT(dovecot::Deliver(user, subject), 0.0);
        long exists = standin::WaitForLog(" EXISTS", 20000, from);
        if (exists < 0)
            return -1;
        return standin::WaitForLog("notice mail", 20000, exists);
    }
};

TEST_F(DovecotSession, ReachesIdleAndAnnouncesEachDeliveryOnce)
{
    harness.Start();
    long idle = harness.WaitFor("trace [01]IDLE mode", 20000);
    ASSERT_GE(idle, 0);
    long first = DeliverAndWait("first", idle);
    ASSERT_GE(first, 0);
    // A second delivery after the first notice: whatever the first one
    // brought has been handled by the time the second one's notice arrives.
    long second = DeliverAndWait("second", first + 1);
    ASSERT_GE(second, 0);
    EXPECT_EQ(harness.Count("notice mail"), 2);
    EXPECT_EQ(dovecot::Logins(user), 1);
}

TEST_F(DovecotSession, ReachesIdleOverTheIpv6LiteralAndAnnouncesADelivery)
{
    SetText(w.settings.server, "::1");
    harness.Start();
    long idle = harness.WaitFor("trace [01]IDLE mode", 20000);
    ASSERT_GE(idle, 0);
    EXPECT_GE(harness.WaitFor("trace [01]connect to(::1," + std::to_string(dovecot::ImapPort()) + ",[::1])"), 0);
    ASSERT_GE(DeliverAndWait("over IPv6", idle), 0);
    EXPECT_EQ(harness.Count("notice mail"), 1);
}

class DovecotCheckOnIdle : public DovecotSession, public ::testing::WithParamInterface<int> {};

TEST_P(DovecotCheckOnIdle, RecvAtConnectedGivesOneNoticeOnReachingIdle)
{
    w.settings.recvAtConnected = GetParam();
    harness.Start();
    long idle = harness.WaitFor("trace [01]IDLE mode", 20000);
    ASSERT_GE(idle, 0);
    ASSERT_GE(DeliverAndWait("sentinel", idle), 0);
    EXPECT_EQ(harness.Count("notice mail"), GetParam() + 1);
}

INSTANTIATE_TEST_SUITE_P(OffAndOn, DovecotCheckOnIdle, ::testing::Values(0, 1));

TEST_F(DovecotSession, WrongPasswordSwitchesTheWatcherOff)
{
    SetText(w.settings.pass, "wrong");
    harness.Start();
    ASSERT_GE(harness.WaitFor("notice login-failed", 20000), 0);
    // Well beyond the 3 s retry pause, the session has not tried again.
    standin::ObserveFor(5000);
    harness.Stop();
    EXPECT_EQ(w.settings.use, 0);
    EXPECT_EQ(harness.Count("trace [01]connect to("), 1);
    EXPECT_EQ(harness.Count("notice connect-failed"), 0);
    EXPECT_EQ(dovecot::Logins(user), 0);
}

TEST_F(DovecotSession, FailingSelectNotifiesAndTriesAgain)
{
    std::string broken = dovecot::UniqueUser("sel");
    ASSERT_TRUE(dovecot::AddUser(broken, "pw", true));
    SetText(w.settings.user, broken);
    SetText(w.settings.pass, "pw");
    harness.Start();
    ASSERT_GE(harness.WaitFor("notice connect-failed", 20000), 0);
    long second = -1;
    long first = harness.WaitFor("LOGIN " + broken, 20000);
    ASSERT_GE(first, 0);
    second = standin::WaitForLog("LOGIN " + broken, 20000, first + 1);
    EXPECT_GE(second, 0) << "no new attempt after the failed SELECT";
    EXPECT_EQ(harness.Count("notice connect-failed"), 1);
}

TEST_F(DovecotSession, PasswordWithSpecialCharactersLogsIn)
{
    const std::string password = "p@ss word\"x\\y(1)";
    ASSERT_TRUE(dovecot::AddUser(user, password));
    SetText(w.settings.pass, password);
    harness.Start();
    ASSERT_GE(harness.WaitFor("trace [01]IDLE mode", 20000), 0);
    EXPECT_EQ(harness.Count("notice login-failed"), 0);
    EXPECT_EQ(harness.Count(password), 0) << "the password reached the trace";
}

TEST_F(DovecotSession, ReconnectsAfterTheServerWasKilledMidIdle)
{
    harness.Start();
    long idle = harness.WaitFor("trace [01]IDLE mode", 20000);
    ASSERT_GE(idle, 0);
    ASSERT_TRUE(dovecot::Stop());
    long closed = harness.WaitFor("trace [01]CloseSocket", 20000);
    ASSERT_GE(closed, 0) << "the dead connection was not noticed";
    ASSERT_TRUE(dovecot::Start());
    long again = standin::WaitForLog("trace [01]IDLE mode", 30000, closed);
    ASSERT_GE(again, 0) << "no reconnection once the server was back";
    EXPECT_GE(DeliverAndWait("after restart", again), 0);
    EXPECT_EQ(harness.Count("notice connect-failed"), 0) << "no notice once IDLE had been reached";
}

} // namespace
