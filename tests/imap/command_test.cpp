// The IMAP command layer on a real loopback connection: the test thread
// plays the watcher's worker and, in turn, the scripted server.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "imap/client.h"

#include "watch/notices.h"
#include "watch/watcher.h"
#include "watch/worker.h"
#include "standin/host.h"
#include "support/script_server.h"
#include "support/session_harness.h"

namespace {

class CommandLayer : public ::testing::Test {
protected:
    SessionHarness harness; // not started: the test thread is the worker
    ::Session& w = harness.session;
    ScriptServer server;

    void SetUp() override
    {
        w.settings.port = server.Port();
        ASSERT_TRUE(OpenConnection(&w));
        ASSERT_TRUE(server.Accept());
    }
    void TearDown() override
    {
        if (w.sock.Valid())
            CloseConnection(&w);
    }

    std::string Read(DWORD timeoutMs = 5000)
    {
        std::string line = "<none>";
        int result = ReadLine(&w, line, timeoutMs);
        return result == WaitData ? line : "<wait " + std::to_string(result) + ">";
    }
};

TEST_F(CommandLayer, TagsStartAtC001AndWrapFromCFFFToC000)
{
    ASSERT_TRUE(SendCommand("NOOP", &w));
    std::string line;
    ASSERT_TRUE(server.ReadLine(&line));
    EXPECT_EQ(line, "C001 NOOP");

    w.tagCounter = 0xFFE;
    ASSERT_TRUE(SendCommand("SELECT INBOX", &w));
    ASSERT_TRUE(SendCommand("IDLE", &w));
    ASSERT_TRUE(server.ReadLine(&line));
    EXPECT_EQ(line, "CFFF SELECT INBOX");
    ASSERT_TRUE(server.ReadLine(&line));
    EXPECT_EQ(line, "C000 IDLE");
    EXPECT_EQ(w.tagCounter, 0x1000) << "the counter itself keeps counting";

    ASSERT_TRUE(SendDone(&w));
    ASSERT_TRUE(server.ReadLine(&line));
    EXPECT_EQ(line, "DONE");
    EXPECT_EQ(w.tagCounter, 0x1000) << "DONE carries no tag";
}

TEST_F(CommandLayer, LinesKeepOnlyPrintableBytesAndEndAtLf)
{
    server.Send("* OK ready\r\n\r\n* 5 EXI\x82\xA0STS\tx\r\nbare lf\n* tail\x7F\x01\r\n");
    EXPECT_EQ(Read(), "* OK ready");
    EXPECT_EQ(Read(), "");
    EXPECT_EQ(Read(), "* 5 EXISTSx");
    EXPECT_EQ(Read(), "bare lf");
    EXPECT_EQ(Read(), "* tail");
    // Each line is traced as delivered, the empty one as "Recv:" alone.
    std::vector<std::string> received;
    for (const std::string& line : standin::TraceLines(harness.mark))
        if (line.compare(0, 9, "[01]Recv:") == 0)
            received.push_back(line);
    EXPECT_EQ(received,
              (std::vector<std::string>{"[01]Recv:* OK ready", "[01]Recv:", "[01]Recv:* 5 EXISTSx",
                                        "[01]Recv:bare lf", "[01]Recv:* tail"}));
}

TEST_F(CommandLayer, TwoLinesInOneChunkNeedOneWaitAndASendKeepsTheRest)
{
    server.Send("* 1 EXISTS\r\n* 2 EXISTS\r\n* 3 EXISTS\r\n");
    EXPECT_EQ(Read(), "* 1 EXISTS");
    ASSERT_TRUE(HasUnreadByte(&w)) << "the rest of the chunk should still be buffered";
    EXPECT_EQ(Read(0), "* 2 EXISTS");
    // Complete lines still unread when a command goes out are read after it,
    // in order: they may be mail.
    ASSERT_TRUE(SendCommand("NOOP", &w));
    EXPECT_TRUE(HasUnreadByte(&w));
    server.Send("C001 OK done\r\n");
    EXPECT_EQ(Read(0), "* 3 EXISTS");
    EXPECT_EQ(Read(), "C001 OK done");
}

TEST_F(CommandLayer, LineSplitAcrossAPollTimeoutIsKeptWhole)
{
    server.Send("* 13 EX");
    EXPECT_EQ(Read(100), "<wait 1>");
    EXPECT_EQ(Read(100), "<wait 1>");
    server.Send("ISTS\r\n");
    EXPECT_EQ(Read(), "* 13 EXISTS");
}

TEST_F(CommandLayer, PartialLineIsDroppedWhenACommandIsSent)
{
    server.Send("* 13 EX");
    EXPECT_EQ(Read(200), "<wait 1>");
    ASSERT_TRUE(SendCommand("NOOP", &w));
    server.Send("ISTS\r\nC001 OK\r\n");
    EXPECT_EQ(Read(), "ISTS");
    EXPECT_EQ(Read(), "C001 OK");
}

TEST_F(CommandLayer, OverlongLineKeepsItsFirst64KiB)
{
    std::string big(200 * 1024, 'A');
    std::thread sender([&] { server.Send("* " + big + "\r\n* 1 EXISTS\r\n"); });
    std::string line;
    ASSERT_EQ(ReadLine(&w, line, 10000), WaitData);
    sender.join();
    EXPECT_EQ(line.size(), MaxLineBytes);
    EXPECT_EQ(line.substr(0, 4), "* AA");
    EXPECT_EQ(Read(), "* 1 EXISTS") << "the next line must start cleanly";
}

// A line that ends in "{n}" announces a literal: the next n bytes are data,
// whatever they hold, and the line goes on after them. Only the announcement
// stays in the line; the literal's bytes are skipped.
struct LiteralCase {
    const char* name;
    std::vector<std::string> pieces; // sent one at a time; no line is read before the last
    std::vector<std::string> lines;  // then read
};

TEST_F(CommandLayer, LiteralBytesNeverMakeLinesAndTheLineGoesOnAfterThem)
{
    const LiteralCase cases[] = {
        {"exists inside a literal", {"* 1 FETCH (BODY[] {14}\r\n\r\n* 9 EXISTS\r\n)\r\n* 2 EXISTS\r\n"},
         {"* 1 FETCH (BODY[] {14})", "* 2 EXISTS"}},
        {"cut in the size, between CR and LF, inside and right after the literal",
         {"* 1 FETCH (BODY[] {1", "4}\r", "\n\r\n* 9 EX", "ISTS\r\n", ")\r\n"},
         {"* 1 FETCH (BODY[] {14})"}},
        {"a literal of no bytes", {"* 1 FETCH (BODY[] {0}\r\n)\r\n"}, {"* 1 FETCH (BODY[] {0})"}},
        {"two literals in one line and a bare LF",
         {"* 1 FETCH (A {3}\r\nabc B {4+}\nx\ny\n)\r\nC001 OK\r\n"},
         {"* 1 FETCH (A {3} B {4+})", "C001 OK"}},
        {"a literal that holds a whole tagged completion", {"* 2 FETCH (X {9}\r\nC001 OK\r\n)\r\n"},
         {"* 2 FETCH (X {9})"}},
    };
    for (const LiteralCase& c : cases) {
        SCOPED_TRACE(c.name);
        for (size_t i = 0; i < c.pieces.size(); ++i) {
            server.Send(c.pieces[i]);
            if (i + 1 < c.pieces.size()) {
                EXPECT_EQ(Read(100), "<wait 1>") << "a line before piece " << i + 1;
            }
        }
        for (const std::string& expected : c.lines)
            EXPECT_EQ(Read(), expected);
        EXPECT_EQ(Read(100), "<wait 1>") << "a literal's bytes were read as a line";
    }
}

TEST_F(CommandLayer, HugeLiteralHidesWhatFollowsAndASentCommandForgetsIt)
{
    // A 20-digit size is more than any counter holds: it stays huge.
    std::string lines;
    for (int i = 0; i < 20; ++i)
        lines += "* 9 EXISTS\r\n";
    server.Send("* 1 FETCH (BODY[] {99999999999999999999999}\r\n" + lines);
    EXPECT_EQ(Read(300), "<wait 1>");
    // The literal goes with the partial line when a command is sent.
    ASSERT_TRUE(SendCommand("NOOP", &w));
    server.Send("C001 OK done\r\n");
    EXPECT_EQ(Read(), "C001 OK done");
}

TEST_F(CommandLayer, TaggedResultSkipsOtherTagsAndKeepsTheCompletion)
{
    w.tagCounter = 2;
    ASSERT_TRUE(SendCommand("SELECT INBOX", &w)); // C003
    server.Send("* 4 EXISTS\r\nC002 NO stale\r\n* bye soon\r\nC003 ok [read-write] done\r\n");
    Response completion;
    bool byeSeen = false;
    ASSERT_TRUE(ReadTaggedResult(&w, completion, &byeSeen));
    EXPECT_EQ(completion.tag, "C003");
    EXPECT_EQ(completion.status, StatusOk);
    EXPECT_EQ(completion.code, "READ-WRITE");
    EXPECT_EQ(completion.text, "done");
    EXPECT_TRUE(byeSeen) << "the lower-case goodbye on the way";
}

struct CompletionCase {
    const char* line;
    int expected;
};

TEST_F(CommandLayer, CheckTaggedCompletionJudgesOnlyTheLastTag)
{
    const CompletionCase cases[] = {
        {"C002 OK old", 0},     // another command's completion
        {"C00", 0},             // shorter than a tag
        {"* OK untagged", 0},
        {"C003 OK done", 1},
        {"C003 ok lower case", 1}, // IMAP's words are the same in any case
        {"C003 oK [READ-WRITE] mixed", 1},
        {"C003 OK", 1},
        {"C003xOK", 0},         // another tag
        {"C0031 OK", 0},
    };
    w.tagCounter = 3;
    for (const CompletionCase& c : cases)
        EXPECT_EQ(CheckTaggedCompletion(&w, DecodeResponse(c.line)), c.expected) << c.line;
    ASSERT_TRUE(w.sock.Valid());
}

TEST_F(CommandLayer, FailedCompletionClosesAndNotifiesOnce)
{
    const char* failures[] = {"C003 OKAY", "C003 NO no", "C003 no", "C003 BAD", "C003", "C003 "};
    for (const char* line : failures) {
        SCOPED_TRACE(line);
        if (!w.sock.Valid()) {
            ASSERT_TRUE(OpenConnection(&w));
            ASSERT_TRUE(server.Accept());
        }
        w.tagCounter = 3;
        EXPECT_EQ(CheckTaggedCompletion(&w, DecodeResponse(line)), -1);
        EXPECT_FALSE(w.sock.Valid());
        EXPECT_TRUE(server.WaitClosed());
    }
    ASSERT_GE(harness.WaitFor("notice connect-failed"), 0);
    EXPECT_EQ(harness.Count("notice connect-failed"), 1) << "the notice is gated by connectNoticePending";
}

TEST_F(CommandLayer, ReadWithoutTimeOutOutlastsTwentySecondsAndOnlyAStopEndsIt)
{
    // Longer than any limit a wait has by default (20 s).
    const DWORD stopAfterMs = 21000;
    double stoppedAt = 0;
    std::thread stopper([&] {
        standin::ObserveFor(stopAfterMs);
        stoppedAt = standin::NowMs();
        RequestStop(&w);
    });
    std::string line = "unchanged";
    int result = ReadLine(&w, line, 0); // no time-out: only the stop ends it
    double returnedAt = standin::NowMs();
    stopper.join();
    EXPECT_GE(returnedAt, stoppedAt) << "returned " << (stoppedAt - returnedAt) << " ms before the stop";
    EXPECT_NE(result, WaitTimeout);
    EXPECT_NE(result, WaitData);
    EXPECT_EQ(line, "unchanged");
    EXPECT_EQ(w.received.len, 0);
    EXPECT_EQ(w.received.pos, 0);
}

// ---- the notices' gates ------------------------------------------------------

TEST_F(CommandLayer, NoMailNoticeOnceAStopIsRequested)
{
    NotifyMailArrived(&w);
    TellPendingMail(&w);
    NotifyMailArrived(&w);
    w.stopRequested = 1;
    TellPendingMail(&w);
    w.stopRequested = 0;
    TellPendingMail(&w); // told or dropped, never kept for later
    // Notices to one window arrive in the order posted: once this one is
    // there, every mail notice before it is there too.
    NotifyConnectFailed(&w);
    ASSERT_GE(harness.WaitFor("notice connect-failed"), 0);
    EXPECT_EQ(harness.Count("notice mail"), 1) << "a mail notice after the stop request";
    EXPECT_EQ(harness.Count("post mail"), 1);
}

TEST(WatcherNotices, EmptyWindowListPostsNothingButStillClearsThePendingNotice)
{
    // A watcher's own notices, without its thread: the session's gates
    // first, then the watcher's window list.
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
    w.settings.use = 1;
    NotifyConnectFailed(&w);
    NotifyMailArrived(&w);
    TellPendingMail(&w);
    NotifyLoginFailed(&w);
    EXPECT_EQ(w.settings.use, 0) << "a rejected login switches the watcher off all the same";
    // The window is back: the connect-failed notice was used up while there
    // was none, so only the mail notice that follows is posted.
    watcher.windows.push_back(harness.noticeWindow());
    NotifyConnectFailed(&w);
    NotifyMailArrived(&w);
    TellPendingMail(&w);
    ASSERT_GE(harness.WaitFor("notice mail"), 0);
    EXPECT_EQ(harness.Count("notice "), 1) << "posted: " << harness.Count("notice connect-failed")
                                           << " connect-failed, " << harness.Count("notice login-failed")
                                           << " login-failed, " << harness.Count("notice mail") << " mail";
    EXPECT_EQ(harness.Count("trace [01]Connect failed"), 0);
    EXPECT_EQ(harness.Count("trace [01]Login failed"), 0);
}

// ---- LOGIN arguments ------------------------------------------------------

struct LoginCase {
    const char* name;
    std::string user;
    std::string pass;
    std::vector<std::string> wire; // lines the server reads; "+" marks a continuation it sends
};

void PrintTo(const LoginCase& c, std::ostream* os)
{
    *os << c.name;
}

class LoginArguments : public CommandLayer, public ::testing::WithParamInterface<LoginCase> {};

TEST_P(LoginArguments, GoOutAsAtomsQuotedStringsOrLiterals)
{
    const LoginCase& c = GetParam();
    SetText(w.settings.user, c.user);
    SetText(w.settings.pass, c.pass);
    Response completion;
    int sent = 0;
    std::thread client([&] { sent = SendLogin(&w, &completion); });
    std::string got;
    for (const std::string& expected : c.wire) {
        if (expected == "+") {
            server.Send("+ go ahead\r\n");
            continue;
        }
        if (expected.compare(0, 5, "BYTES") == 0) {
            size_t count = expected.size() - 5;
            ASSERT_TRUE(server.ReadBytes(count, &got));
            EXPECT_EQ(got, expected.substr(5));
            continue;
        }
        ASSERT_TRUE(server.ReadLine(&got));
        EXPECT_EQ(got, expected);
    }
    client.join();
    EXPECT_EQ(sent, 1);
    // The password never reaches the trace.
    std::vector<std::string> log = standin::LogLines();
    for (size_t i = harness.mark; i < log.size() && c.pass.size() > 2; ++i)
        EXPECT_EQ(log[i].find(c.pass), std::string::npos) << log[i];
    EXPECT_GE(harness.WaitFor(" ****"), 0) << "the LOGIN line is traced with its password masked";
}

INSTANTIATE_TEST_SUITE_P(
    Table, LoginArguments,
    ::testing::Values(
        LoginCase{"PlainAtoms", "alice", "s3cret", {"C001 LOGIN alice s3cret"}},
        LoginCase{"EmptyIsQuoted", "", "", {"C001 LOGIN \"\" \"\""}},
        LoginCase{"SpecialsAreQuotedWithEscapes", "a b", "p@ss word\"x\\y", {"C001 LOGIN \"a b\" \"p@ss word\\\"x\\\\y\""}},
        LoginCase{"ListWildcardsAndBrackets", "x%y", "(a)*{b}]", {"C001 LOGIN \"x%y\" \"(a)*{b}]\""}},
        LoginCase{"EightBitIsALiteral", "bob", "pa\x82\xA0ss", {"C001 LOGIN bob {6}", "+", "BYTESpa\x82\xA0ss\r\n"}},
        LoginCase{"LineBreakIsALiteralToo", "u\r\nv", "pw", {"C001 LOGIN {4}", "+", "BYTESu\r\nv pw\r\n"}}),
    [](const ::testing::TestParamInfo<LoginCase>& info) { return std::string(info.param.name); });

TEST_F(CommandLayer, LoginRejectedBeforeTheLiteralIsTheLoginResult)
{
    SetText(w.settings.user, "bob");
    SetText(w.settings.pass, "pa\x82ss");
    Response completion;
    int sent = 0;
    std::thread client([&] { sent = SendLogin(&w, &completion); });
    std::string got;
    ASSERT_TRUE(server.ReadLine(&got));
    EXPECT_EQ(got, "C001 LOGIN bob {5}");
    server.Send("C001 NO [AUTHENTICATIONFAILED] nope\r\n");
    client.join();
    EXPECT_EQ(sent, -1);
    EXPECT_EQ(completion.status, StatusNo);
    EXPECT_EQ(completion.code, "AUTHENTICATIONFAILED");
    EXPECT_EQ(ReadLoginAnswer(completion, false), LoginRejected);
}

} // namespace
