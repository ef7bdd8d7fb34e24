// Servers that take the connection and then fail the session, over and
// over: each failure makes the next attempt wait longer (3, 3, 6, 12, 24,
// 48 s ...), so that two minutes see a handful of logins, not a hundred,
// and the user one box.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "watch/session.h"
#include "standin/host.h"
#include "support/script_server.h"
#include "support/session_harness.h"

namespace {

enum Failure { CloseAfterLogin, NoToSelect, ByeGreeting };

struct Storm {
    const char* name;
    Failure failure;
};

void PrintTo(const Storm& storm, std::ostream* os)
{
    *os << storm.name;
}

class Storms : public ::testing::TestWithParam<Storm> {};

// Plays one failing session on the accepted connection.
void FailOnce(ScriptServer& server, Failure failure)
{
    if (failure == ByeGreeting) {
        server.Send("* BYE too many connections\r\n");
        server.WaitClosed();
        return;
    }
    server.Send(GreetingWithCapabilities);
    if (server.ExpectCommand("LOGIN alice pw") != "C001")
        return;
    server.Send("C001 OK logged in\r\n");
    if (server.ExpectCommand("SELECT INBOX") != "C002")
        return;
    if (failure == CloseAfterLogin) {
        server.Close();
        return;
    }
    server.Send("C002 NO [UNAVAILABLE] mailbox busy\r\n");
    server.WaitClosed();
}

TEST_P(Storms, AttemptsBackOffOverTwoMinutesWithOneBox)
{
    const double WindowMs = 120000.0;
    ScriptServer server;
    SessionHarness harness;
    harness.session.settings.port = server.Port();
    SetText(harness.session.settings.user, "alice");
    SetText(harness.session.settings.pass, "pw");
    harness.Start();
    double start = MonotonicMs();
    int attempts = 0;
    for (;;) {
        double left = WindowMs - (MonotonicMs() - start);
        if (left <= 0 || !server.Accept(static_cast<DWORD>(left)))
            break;
        ++attempts;
        FailOnce(server, GetParam().failure);
    }
    harness.Stop();

    // Without backoff a session that fails after its connect comes back
    // every one to two seconds: some 60 to 120 logins in two minutes.
    EXPECT_GE(attempts, 5);
    EXPECT_LE(attempts, 7) << "the attempts did not back off";
    for (int i = 1; i < attempts; ++i) {
        double gap = server.AcceptedAtMs(i) - server.AcceptedAtMs(i - 1);
        EXPECT_GE(gap, RetryDelayMs(static_cast<DWORD>(i)) - 10.0) << "attempt " << i + 1 << " came too soon";
    }
    EXPECT_EQ(harness.Count("notice connect-failed"), 1) << "one box per settings";
    EXPECT_EQ(harness.Count("notice login-failed"), 0);
    printf("%s: %d attempts in two minutes\n", GetParam().name, attempts);
}

INSTANTIATE_TEST_SUITE_P(Table, Storms,
                         ::testing::Values(Storm{"ServerClosesAfterLogin", CloseAfterLogin},
                                           Storm{"SelectAnsweredNo", NoToSelect},
                                           Storm{"ByeGreeting", ByeGreeting}),
                         [](const ::testing::TestParamInfo<Storm>& info) { return std::string(info.param.name); });

TEST(RetryDelay, ThreeSecondsTwiceThenDoublingUpToFiveMinutes)
{
    const DWORD expected[] = {3000, 3000, 3000, 6000, 12000, 24000, 48000, 96000, 192000, 300000, 300000};
    for (DWORD failures = 0; failures < sizeof expected / sizeof expected[0]; ++failures)
        EXPECT_EQ(RetryDelayMs(failures), expected[failures]) << failures << " failures";
    EXPECT_EQ(RetryDelayMs(0xFFFFFFFFu), 300000u);
}

} // namespace
