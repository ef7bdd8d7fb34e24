// Resolving the server and connecting to its addresses: IPv6, the order of
// the addresses of a name, and a lookup that hangs. The last two run in a
// private mount namespace with the tests' own hosts file and resolver
// (support/name_namespace.sh); no name ever leaves the machine.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "watch/session.h"
#include "standin/host.h"
#include "support/process_stats.h"
#include "support/script_server.h"
#include "support/session_harness.h"

namespace {

bool InNameNamespace()
{
    const char* flag = getenv("QVPUSH_NAME_NAMESPACE");
    return flag != NULL && flag[0] == '1';
}

class Lookup : public ::testing::Test {
protected:
    SessionHarness harness;
    ::Session& w = harness.session;

    void SetUp() override
    {
        SetText(w.settings.user, "alice");
        SetText(w.settings.pass, "pw");
    }
    void TearDown() override { harness.Stop(); }

    std::string Line(long index) const { return index >= 0 ? standin::LogLines()[index] : "(none)"; }
};

TEST_F(Lookup, Ipv6LiteralConnectsAndTracesItsAddressInBrackets)
{
    ScriptServer server(true);
    ASSERT_NE(server.Port(), 0) << "no listener on ::1";
    SetText(w.settings.server, "::1");
    w.settings.port = server.Port();
    harness.Start();
    ASSERT_TRUE(server.Accept());
    std::string attempt = "trace [01]connect to(::1," + std::to_string(server.Port()) + ",[::1])";
    EXPECT_GE(harness.WaitFor(attempt), 0);
    server.Send(GreetingWithCapabilities);
    EXPECT_EQ(server.ExpectCommand("LOGIN alice pw"), "C001") << server.LastLine();
}

TEST_F(Lookup, AddressesOfANameAreTriedInOrderUntilOneConnects)
{
    if (!InNameNamespace())
        GTEST_SKIP() << "needs root and a private mount namespace (support/name_namespace.sh)";
    // dual.qvpush.test gives ::1 first, where nothing listens on this port,
    // then 127.0.0.1, where the server does.
    ScriptServer server;
    SetText(w.settings.server, "dual.qvpush.test");
    w.settings.port = server.Port();
    harness.Start();
    ASSERT_TRUE(server.Accept());
    std::string port = std::to_string(server.Port());
    long first = harness.WaitFor("trace [01]connect to(dual.qvpush.test," + port + ",[::1])");
    long refused = harness.WaitFor("trace [01]connect error(10061)");
    long second = harness.WaitFor("trace [01]connect to(dual.qvpush.test," + port + ",100007f)");
    long connected = harness.WaitFor("trace [01]Connected(0)");
    ASSERT_GE(first, 0);
    EXPECT_LT(first, refused);
    EXPECT_LT(refused, second);
    EXPECT_LT(second, connected);
    server.Send(GreetingWithCapabilities);
    EXPECT_EQ(server.ExpectCommand("LOGIN alice pw"), "C001") << server.LastLine();
}

TEST_F(Lookup, AllAddressesOfOneLookupCountAsOneFailedAttempt)
{
    if (!InNameNamespace())
        GTEST_SKIP() << "needs root and a private mount namespace (support/name_namespace.sh)";
    ScriptServer server;
    server.StopListening();
    SetText(w.settings.server, "dual.qvpush.test");
    w.settings.port = server.Port();
    harness.Start();
    // The notice comes with the third failed attempt: after three lookups,
    // six refused addresses, not after the third refused address.
    long notice = harness.WaitFor("notice connect-failed", 30000);
    ASSERT_GE(notice, 0);
    EXPECT_EQ(standin::CountLog("trace [01]connect to(dual.qvpush.test", harness.mark), 6);
    EXPECT_EQ(standin::CountLog("trace [01]connect error(10061)", harness.mark), 6);
}

TEST_F(Lookup, HangingLookupEndsAtTheStopAndItsThreadWhenTheLookupReturns)
{
    if (!InNameNamespace())
        GTEST_SKIP() << "needs root and a private mount namespace (support/name_namespace.sh)";
    // The resolver's name server never answers: the lookup hangs for its
    // 3 s time-out.
    SetText(w.settings.server, "hang.qvpush.test");
    w.settings.port = 143;
    int threadsBefore = process_stats::ThreadCount();
    harness.Start();
    standin::ObserveFor(500); // the lookup is under way

    double start = standin::NowMs();
    harness.Stop();
    double stopMs = standin::NowMs() - start;
    EXPECT_LT(stopMs, 500.0) << "the stop waited for the lookup";
    EXPECT_EQ(standin::CountLog("trace [01]connect to(", harness.mark), 0) << "the stopped attempt went on";

    // The lookup's own thread ends once its call returns; nothing is left.
    DWORD begun = GetTickCount();
    while (process_stats::ThreadCount() > threadsBefore && GetTickCount() - begun < 30000)
        Sleep(20);
    EXPECT_EQ(process_stats::ThreadCount(), threadsBefore);
}

} // namespace
