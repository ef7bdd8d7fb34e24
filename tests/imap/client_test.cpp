// The IMAP client on a real loopback connection: the test thread plays the
// watcher's worker and, in turn, the scripted server.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "imap/client.h"
#include "net/connection.h"
#include "net/stream.h"
#include "standin/host.h"
#include "support/script_server.h"

namespace {

class Client : public ::testing::Test {
protected:
    ScriptServer server;
    UniqueHandle stop;
    int debug = 1;
    Connection connection;
    std::unique_ptr<PlainStream> plain;
    ImapClient client;
    size_t mark = 0;

    void SetUp() override
    {
        standin::CaptureTrace();
        mark = standin::LogSize();
        stop.Attach(CreateEventA(NULL, TRUE, FALSE, NULL));
        Tracer tracer;
        tracer.serial = 1;
        tracer.debug = &debug;
        client.tracer = tracer;
        client.control.stop = stop.Get();
        client.responseTimeoutMs = 5000;
        ConnectTarget target;
        target.server = "127.0.0.1";
        target.port = server.Port();
        int error = 0;
        ASSERT_EQ(Connect(&connection, target, client.control, tracer, &error), ConnectMade) << error;
        ASSERT_TRUE(server.Accept());
        plain.reset(new PlainStream(&connection, tracer));
        BeginClient(&client, plain.get());
    }
    void TearDown() override { Disconnect(&connection, client.tracer); }

    // The next line as the reader delivers it, or "<end N>" with the
    // reader's LineEnd.
    std::string Read(DWORD timeoutMs = 5000)
    {
        ByteWait wait;
        wait.timeoutMs = timeoutMs;
        std::string line = "<none>";
        LineEnd end = ReadResponseLine(*plain, &client.reader, client.control, wait, &line);
        return end == LineRead ? line : "<end " + std::to_string(end) + ">";
    }
    static std::string Timeout() { return "<end " + std::to_string(LineTimeout) + ">"; }
};

TEST_F(Client, TagsStartAtC001AndWrapFromCFFFToC000)
{
    ASSERT_EQ(SendCommand(&client, "NOOP"), ClientDone);
    std::string line;
    ASSERT_TRUE(server.ReadLine(&line));
    EXPECT_EQ(line, "C001 NOOP");

    client.tagCounter = 0xFFE;
    ASSERT_EQ(SendCommand(&client, "SELECT INBOX"), ClientDone);
    ASSERT_EQ(SendCommand(&client, "IDLE"), ClientDone);
    ASSERT_TRUE(server.ReadLine(&line));
    EXPECT_EQ(line, "CFFF SELECT INBOX");
    ASSERT_TRUE(server.ReadLine(&line));
    EXPECT_EQ(line, "C000 IDLE");
    EXPECT_EQ(client.tagCounter, 0x1000) << "the counter itself keeps counting";

    // DONE carries no tag: the completion awaited is that of IDLE.
    std::thread answer([&] {
        std::string done;
        if (server.ReadLine(&done) && done == "DONE")
            server.Send("C000 OK idle done\r\n");
    });
    EXPECT_EQ(EndIdle(&client, 5000), ClientDone);
    answer.join();
    EXPECT_EQ(client.tagCounter, 0x1000);
}

TEST_F(Client, LinesKeepOnlyPrintableBytesAndEndAtLf)
{
    server.Send("* OK ready\r\n\r\n* 5 EXI\x82\xA0STS\tx\r\nbare lf\n* tail\x7F\x01\r\n");
    EXPECT_EQ(Read(), "* OK ready");
    EXPECT_EQ(Read(), "");
    EXPECT_EQ(Read(), "* 5 EXISTSx");
    EXPECT_EQ(Read(), "bare lf");
    EXPECT_EQ(Read(), "* tail");
    // Each line is traced as delivered, the empty one as "Recv:" alone.
    std::vector<std::string> received;
    for (const std::string& line : standin::TraceLines(mark))
        if (line.compare(0, 9, "[01]Recv:") == 0)
            received.push_back(line);
    EXPECT_EQ(received,
              (std::vector<std::string>{"[01]Recv:* OK ready", "[01]Recv:", "[01]Recv:* 5 EXISTSx",
                                        "[01]Recv:bare lf", "[01]Recv:* tail"}));
}

TEST_F(Client, TwoLinesInOneChunkNeedOneWaitAndACommandKeepsTheRest)
{
    server.Send("* 1 EXISTS\r\n* 2 EXISTS\r\n* 3 EXISTS\r\n");
    EXPECT_EQ(Read(), "* 1 EXISTS");
    ASSERT_TRUE(HasUnread(&client)) << "the rest of the chunk should still be buffered";
    EXPECT_EQ(Read(0), "* 2 EXISTS");
    // Complete lines still unread when a command goes out are read after it,
    // in order: they may be mail.
    ASSERT_EQ(SendCommand(&client, "NOOP"), ClientDone);
    EXPECT_TRUE(HasUnread(&client));
    server.Send("C001 OK done\r\n");
    EXPECT_EQ(Read(0), "* 3 EXISTS");
    EXPECT_EQ(Read(), "C001 OK done");
}

TEST_F(Client, LineSplitAcrossAPollTimeoutIsKeptWhole)
{
    server.Send("* 13 EX");
    EXPECT_EQ(Read(100), Timeout());
    EXPECT_EQ(Read(100), Timeout());
    server.Send("ISTS\r\n");
    EXPECT_EQ(Read(), "* 13 EXISTS");
}

TEST_F(Client, PartialLineIsDroppedWhenACommandIsSent)
{
    server.Send("* 13 EX");
    EXPECT_EQ(Read(200), Timeout());
    ASSERT_EQ(SendCommand(&client, "NOOP"), ClientDone);
    EXPECT_GE(standin::WaitForLog("trace [01]partial line dropped", 0, mark), 0);
    server.Send("ISTS\r\nC001 OK\r\n");
    EXPECT_EQ(Read(), "ISTS");
    EXPECT_EQ(Read(), "C001 OK");
}

TEST_F(Client, OverlongLineKeepsItsFirst64KiB)
{
    std::string big(200 * 1024, 'A');
    std::thread sender([&] { server.Send("* " + big + "\r\n* 1 EXISTS\r\n"); });
    std::string line = Read(10000);
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

TEST_F(Client, LiteralBytesNeverMakeLinesAndTheLineGoesOnAfterThem)
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
                EXPECT_EQ(Read(100), Timeout()) << "a line before piece " << i + 1;
            }
        }
        for (const std::string& expected : c.lines)
            EXPECT_EQ(Read(), expected);
        EXPECT_EQ(Read(100), Timeout()) << "a literal's bytes were read as a line";
    }
}

TEST_F(Client, HugeLiteralHidesWhatFollowsAndASentCommandForgetsIt)
{
    // A 20-digit size is more than any counter holds: it stays huge.
    std::string lines;
    for (int i = 0; i < 20; ++i)
        lines += "* 9 EXISTS\r\n";
    server.Send("* 1 FETCH (BODY[] {99999999999999999999999}\r\n" + lines);
    EXPECT_EQ(Read(300), Timeout());
    // The literal goes with the partial line when a command is sent.
    ASSERT_EQ(SendCommand(&client, "NOOP"), ClientDone);
    server.Send("C001 OK done\r\n");
    EXPECT_EQ(Read(), "C001 OK done");
}

TEST_F(Client, CompletionSkipsOtherTagsAndKeepsTheAnswer)
{
    client.tagCounter = 2;
    ASSERT_EQ(SendCommand(&client, "SELECT INBOX"), ClientDone); // C003
    server.Send("* 4 EXISTS\r\nC002 NO stale\r\n* bye soon\r\nC003 ok [read-write] done\r\n");
    Response completion;
    bool byeSeen = false;
    ASSERT_EQ(AwaitCompletion(&client, 5000, &completion, &byeSeen), ClientDone);
    EXPECT_EQ(completion.tag, "C003");
    EXPECT_EQ(completion.status, StatusOk);
    EXPECT_EQ(completion.code, "READ-WRITE");
    EXPECT_EQ(completion.text, "done");
    EXPECT_TRUE(byeSeen) << "the lower-case goodbye on the way";
}

// Which line completes the last command (C003), and how: each line is
// followed by a completion that always ends the read, "C003 BAD sentinel".
struct CompletionCase {
    const char* line;
    ClientEnd end;
    bool completes; // the line itself is the completion, not the sentinel
};

TEST_F(Client, OnlyTheLastTagCompletesAndOnlyOkSucceeds)
{
    const CompletionCase cases[] = {
        {"C002 OK old", ClientRefused, false}, // another command's completion
        {"C00", ClientRefused, false},         // shorter than a tag
        {"* OK untagged", ClientRefused, false},
        {"C003xOK", ClientRefused, false}, // another tag
        {"C0031 OK", ClientRefused, false},
        {"C003 OK done", ClientDone, true},
        {"C003 ok lower case", ClientDone, true}, // IMAP's words are the same in any case
        {"C003 oK [READ-WRITE] mixed", ClientDone, true},
        {"C003 OKAY", ClientRefused, true},
        {"C003 NO no", ClientRefused, true},
        {"C003 no", ClientRefused, true},
        {"C003 BAD", ClientRefused, true},
    };
    for (const CompletionCase& c : cases) {
        SCOPED_TRACE(c.line);
        client.tagCounter = 3;
        server.Send(std::string(c.line) + "\r\nC003 BAD sentinel\r\n");
        Response completion;
        EXPECT_EQ(AwaitCompletion(&client, 5000, &completion), c.end);
        EXPECT_EQ(completion.text != "sentinel", c.completes) << "completed by: " << completion.text;
        if (c.completes)
            EXPECT_EQ(Read(), "C003 BAD sentinel");
    }
}

TEST_F(Client, ReadWithoutTimeOutOutlastsTwentySecondsAndOnlyAStopEndsIt)
{
    // Longer than any limit a wait has by default (20 s).
    const DWORD stopAfterMs = 21000;
    double stoppedAt = 0;
    std::thread stopper([&] {
        standin::ObserveFor(stopAfterMs);
        stoppedAt = standin::NowMs();
        SetEvent(stop.Get());
    });
    std::string line = Read(0); // no time-out: only the stop ends it
    double returnedAt = standin::NowMs();
    stopper.join();
    EXPECT_GE(returnedAt, stoppedAt) << "returned " << (stoppedAt - returnedAt) << " ms before the stop";
    EXPECT_EQ(line, "<end " + std::to_string(LineStop) + ">");
}

TEST_F(Client, AThreadMessageEndsAWaitForTheServer)
{
    // Posted before the wait: one already in the queue ends it at once.
    PostThreadMessageA(GetCurrentThreadId(), WM_USER + 1, 0, 0);
    EXPECT_EQ(Read(0), "<end " + std::to_string(LineMessage) + ">");
    MSG message;
    while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
    }
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

class LoginArguments : public Client, public ::testing::WithParamInterface<LoginCase> {};

TEST_P(LoginArguments, GoOutAsAtomsQuotedStringsOrLiterals)
{
    const LoginCase& c = GetParam();
    LoginAnswer answer = LoginRejected;
    std::vector<std::string> afterLogin;
    bool listed = false;
    ClientEnd end = ClientLost;
    std::thread worker([&] { end = Login(&client, c.user, c.pass, &answer, &afterLogin, &listed); });
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
    server.Send("C001 OK [CAPABILITY IMAP4rev1 IDLE] in\r\n");
    worker.join();
    EXPECT_EQ(end, ClientDone);
    EXPECT_EQ(answer, LoginAccepted);
    EXPECT_TRUE(listed);
    EXPECT_TRUE(HasCapability(afterLogin, "IDLE"));
    // The password never reaches the trace.
    std::vector<std::string> log = standin::LogLines();
    for (size_t i = mark; i < log.size() && c.pass.size() > 2; ++i)
        EXPECT_EQ(log[i].find(c.pass), std::string::npos) << log[i];
    EXPECT_GE(standin::WaitForLog(" ****", 0, mark), 0) << "the LOGIN line is traced with its password masked";
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

TEST_F(Client, LoginRejectedBeforeTheLiteralIsTheLoginAnswer)
{
    LoginAnswer answer = LoginAccepted;
    std::vector<std::string> afterLogin;
    bool listed = true;
    ClientEnd end = ClientLost;
    std::thread worker([&] { end = Login(&client, "bob", "pa\x82ss", &answer, &afterLogin, &listed); });
    std::string got;
    ASSERT_TRUE(server.ReadLine(&got));
    EXPECT_EQ(got, "C001 LOGIN bob {5}");
    server.Send("C001 NO [AUTHENTICATIONFAILED] nope\r\n");
    worker.join();
    EXPECT_EQ(end, ClientDone);
    EXPECT_EQ(answer, LoginRejected);
    EXPECT_FALSE(listed);
    std::string more;
    EXPECT_FALSE(server.ReadLine(&more, 300)) << "the literal went out after the answer: " << more;
}

} // namespace
