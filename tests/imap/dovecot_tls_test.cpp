// Encrypted sessions against the real Dovecot: implicit TLS on its second
// port, STARTTLS on its plain one, and its refusal of LOGIN without TLS for
// a client it counts as remote (127.0.0.2). The test CA is trusted in the
// Wine prefix; Dovecot's certificate is made out to localhost, 127.0.0.1
// and ::1.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "standin/host.h"
#include "support/dovecot.h"
#include "support/session_harness.h"

namespace {

int ImapsPort()
{
    return dovecot::ImapPort() + 10000;
}

class DovecotTls : public ::testing::Test {
protected:
    SessionHarness harness;
    ::Session& w = harness.session;
    std::string user;
    std::string password;

    void SetUp() override
    {
        user = dovecot::UniqueUser("tls");
        password = "pw-" + user;
        ASSERT_TRUE(dovecot::AddUser(user, password));
        SetText(w.settings.user, user);
        SetText(w.settings.pass, password);
        w.settings.recvAtConnected = 0;
    }
    void TearDown() override { harness.Stop(); }

    // Waits for IDLE, delivers a mail and waits for its notice.
    void ExpectOneNoticeForADelivery()
    {
        long idle = harness.WaitFor("trace [01]IDLE mode", 20000);
        ASSERT_GE(idle, 0);
        ASSERT_GT(dovecot::Deliver(user, "over TLS"), 0.0);
        long exists = standin::WaitForLog(" EXISTS", 20000, idle);
        ASSERT_GE(exists, 0);
        ASSERT_GE(standin::WaitForLog("notice mail", 20000, exists), 0);
        EXPECT_EQ(harness.Count("notice mail"), 1);
        EXPECT_EQ(harness.Count("notice connect-failed"), 0);
        EXPECT_EQ(dovecot::Logins(user), 1);
    }
};

struct TlsMode {
    const char* name;
    int tls;
    const char* server;
    bool implicitPort;
    // What the session sends, in order, up to the login.
    std::vector<std::string> commands;
};

void PrintTo(const TlsMode& mode, std::ostream* os)
{
    *os << mode.name;
}

class DovecotTlsModes : public DovecotTls, public ::testing::WithParamInterface<TlsMode> {};

TEST_P(DovecotTlsModes, CheckedCertificateEncryptedLoginAndOneNoticePerMail)
{
    const TlsMode& mode = GetParam();
    w.settings.tls = mode.tls;
    SetText(w.settings.server, mode.server);
    w.settings.port = mode.implicitPort ? ImapsPort() : dovecot::ImapPort();
    harness.Start();
    ExpectOneNoticeForADelivery();

    EXPECT_GE(harness.WaitFor("trace [01]TLS handshake(TLS 1.2,"), 0);
    EXPECT_GE(harness.WaitFor("trace [01]certificate accepted"), 0);
    // Dovecot's greeting over implicit TLS carries its capabilities, so no
    // CAPABILITY command precedes the login; after STARTTLS they are asked
    // for again, over the encrypted connection.
    long at = static_cast<long>(harness.mark);
    for (const std::string& command : mode.commands) {
        at = standin::WaitForLog("trace [01]" + command, 1000, at);
        ASSERT_GE(at, 0) << command << " missing or out of order";
    }
    EXPECT_EQ(harness.Count(password), 0) << "the password must never reach the trace";
}

INSTANTIATE_TEST_SUITE_P(
    Table, DovecotTlsModes,
    ::testing::Values(TlsMode{"ImplicitTlsToLocalhost", 1, "localhost", true, {"TLS handshake", "C001 LOGIN "}},
                      TlsMode{"ImplicitTlsToTheAddressInTheCertificate", 1, "127.0.0.1", true,
                              {"TLS handshake", "C001 LOGIN "}},
                      TlsMode{"StarttlsToLocalhost", 2, "localhost", false,
                              {"C001 STARTTLS", "TLS handshake", "C002 CAPABILITY", "C003 LOGIN "}}),
    [](const ::testing::TestParamInfo<TlsMode>& info) { return std::string(info.param.name); });

TEST_F(DovecotTls, LoginDisabledWithoutTlsSendsNoLoginAndKeepsTrying)
{
    // 127.0.0.2 is not the client's own address: Dovecot lists LOGINDISABLED.
    SetText(w.settings.server, "127.0.0.2");
    w.settings.port = dovecot::ImapPort();
    w.settings.tls = 0;
    harness.Start();
    ASSERT_GE(harness.WaitFor("notice connect-failed (lParam " + std::to_string(ReasonLoginDisabled) + ")", 20000),
              0);
    // The watcher stays on: a second attempt comes, and again no login.
    long first = harness.WaitFor("trace [01]connect to(127.0.0.2");
    ASSERT_GE(first, 0);
    ASSERT_GE(standin::WaitForLog("trace [01]connect to(127.0.0.2", 20000, first + 1), 0);
    EXPECT_EQ(harness.Count(" LOGIN "), 0);
    EXPECT_EQ(harness.Count("notice connect-failed"), 1) << "one box per settings";
    EXPECT_EQ(harness.Count("notice login-failed"), 0) << "no wrong password";
    EXPECT_EQ(dovecot::Logins(user), 0);
}

} // namespace
