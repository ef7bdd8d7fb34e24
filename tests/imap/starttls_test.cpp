// STARTTLS against a scripted server that misbehaves: the session never
// goes on in the clear, never sends the password there, and never reads
// what came in the clear after the server's go-ahead. Also the PREAUTH
// greeting of a plain session.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "standin/host.h"
#include "support/script_server.h"
#include "support/session_harness.h"

namespace {

class Starttls : public ::testing::Test {
protected:
    ScriptServer server;
    SessionHarness harness;
    ::Session& w = harness.session;

    void SetUp() override
    {
        w.settings.port = server.Port();
        w.settings.tls = 2;
        SetText(w.settings.user, "alice");
        SetText(w.settings.pass, "secret-pw");
        harness.Start();
        ASSERT_TRUE(server.Accept()) << "the session did not connect";
    }
    void TearDown() override { harness.Stop(); }

    // The box comes with the reason, the connection closes, and nothing of
    // the login ever went out.
    void ExpectRefusedWith(ConnectFailReason reason)
    {
        EXPECT_GE(harness.WaitFor("notice connect-failed (lParam " + std::to_string(reason) + ")", 20000), 0);
        EXPECT_TRUE(server.WaitClosed()) << "the connection must close";
        EXPECT_EQ(harness.Count(" LOGIN "), 0);
        EXPECT_EQ(harness.Count("secret-pw"), 0);
        EXPECT_EQ(harness.Count("notice login-failed"), 0);
    }
};

struct Refusal {
    const char* name;
    const char* greeting;
    // The server's answer to STARTTLS; "" when the session must not send it.
    const char* answer;
};

void PrintTo(const Refusal& refusal, std::ostream* os)
{
    *os << refusal.name;
}

class StarttlsRefused : public Starttls, public ::testing::WithParamInterface<Refusal> {};

TEST_P(StarttlsRefused, ClosesWithoutLoginAndTellsTheEncryptionFailed)
{
    const Refusal& refusal = GetParam();
    server.Send(refusal.greeting);
    if (*refusal.answer != '\0') {
        std::string tag = server.ExpectCommand("STARTTLS");
        ASSERT_EQ(tag, "C001") << server.LastLine();
        server.Send(tag + refusal.answer);
    }
    ExpectRefusedWith(ReasonTls);
    EXPECT_EQ(harness.Count("C001 STARTTLS"), *refusal.answer != '\0' ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StarttlsRefused,
    ::testing::Values(
        Refusal{"NoToStarttls", "* OK [CAPABILITY IMAP4rev1 STARTTLS IDLE] ready\r\n", " NO not now\r\n"},
        Refusal{"BadToStarttls", "* OK [CAPABILITY IMAP4rev1 STARTTLS IDLE] ready\r\n", " BAD what\r\n"},
        Refusal{"StarttlsNotOffered", "* OK [CAPABILITY IMAP4rev1 IDLE AUTH=PLAIN] ready\r\n", ""},
        // A PREAUTH in the clear would skip the encryption altogether.
        Refusal{"PreauthGreeting", "* PREAUTH [CAPABILITY IMAP4rev1 STARTTLS IDLE] logged in\r\n", ""}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST_F(Starttls, GreetingWithoutCapabilitiesAsksForThemFirst)
{
    server.Send("* OK ready\r\n");
    std::string tag = server.ExpectCommand("CAPABILITY");
    ASSERT_EQ(tag, "C001") << server.LastLine();
    server.Send("* CAPABILITY IMAP4rev1 IDLE\r\nC001 OK done\r\n");
    ExpectRefusedWith(ReasonTls);
}

TEST_F(Starttls, WhatCameInTheClearAfterTheGoAheadIsNeverRead)
{
    server.Send("* OK [CAPABILITY IMAP4rev1 STARTTLS IDLE] ready\r\n");
    ASSERT_EQ(server.ExpectCommand("STARTTLS"), "C001") << server.LastLine();
    // An attacker on the path appends lines to the go-ahead: in the same
    // segment, so the client has them before its handshake begins.
    server.Send("C001 OK begin TLS\r\n* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] injected\r\n"
                "C002 OK injected\r\n");
    // What follows the go-ahead is the client's TLS handshake record.
    std::string first;
    ASSERT_TRUE(server.ReadBytes(1, &first));
    EXPECT_EQ(first, "\x16") << "a TLS handshake record";
    // No TLS server here: a fatal handshake_failure alert ends the handshake.
    server.Send(std::string("\x15\x03\x03\x00\x02\x02\x28", 7));
    ExpectRefusedWith(ReasonTls);
    EXPECT_EQ(harness.Count("injected"), 0) << "a line sent in the clear after the go-ahead was read";
}

TEST(ImplicitTls, StopDuringTheHandshakeEndsTheSessionWithoutWaitingForTheServer)
{
    ScriptServer server;
    SessionHarness harness;
    harness.session.settings.port = server.Port();
    harness.session.settings.tls = 1;
    harness.session.settings.recvTimeout = 0; // the handshake would wait for ever
    harness.Start();
    ASSERT_TRUE(server.Accept());
    // The client's hello arrives, and the server never answers it.
    std::string first;
    ASSERT_TRUE(server.ReadBytes(1, &first));
    EXPECT_EQ(first, "\x16");
    double stopAt = MonotonicMs();
    harness.Stop();
    // Without the stop the session would still wait; a second is plenty
    // for a stop that the handshake's wait honours (the close itself is
    // measured by the benchmarks).
    EXPECT_LT(MonotonicMs() - stopAt, 1000.0);
    EXPECT_TRUE(server.WaitClosed());
    EXPECT_EQ(harness.Count("notice connect-failed"), 0) << "a stop is no failure";
}

TEST(PlainSession, PreauthGreetingGoesStraightToSelect)
{
    ScriptServer server;
    SessionHarness harness;
    harness.session.settings.port = server.Port();
    SetText(harness.session.settings.user, "alice");
    SetText(harness.session.settings.pass, "pw");
    harness.Start();
    ASSERT_TRUE(server.Accept());
    server.Send("* PREAUTH ready\r\n");
    EXPECT_EQ(server.ExpectCommand("SELECT INBOX"), "C001") << server.LastLine();
    EXPECT_EQ(harness.Count(" LOGIN "), 0);
    harness.Stop();
}

} // namespace
