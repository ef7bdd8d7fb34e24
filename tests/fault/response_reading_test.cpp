// How the plug-in reads what a server says, against qvpush.dll in the
// stand-in host and a script server: IMAP's words in any case, literals
// ("{n}" at the end of a line, then n bytes that are no lines of their own),
// and new mail only from a "* n EXISTS" response, not from the word inside
// other text.
#include "fault/fault_fixture.h"

#include "support/ui.h"

using testing_support::TempAccount;

namespace fault {
namespace {

class ResponseReading : public FaultTest {
protected:
    std::string LoginFailedCommand() const { return "command " + std::to_string(Command(3)); }

    // The number of "Received MAIL" trace lines from log line `from` on, once
    // the last line sent, `sentinel`, has been read and announced: every
    // notice for what came before it is in the log by then (one worker
    // thread reads and announces in order).
    int MailNoticesUpTo(const std::string& sentinel, size_t from)
    {
        long read = standin::WaitForLog("trace [01]Recv:" + sentinel, 20000, from);
        EXPECT_GE(read, 0) << sentinel << " was not read";
        if (read < 0)
            return -1;
        EXPECT_GE(standin::WaitForLog("Received MAIL", 20000, static_cast<size_t>(read)), 0)
            << sentinel << " was not announced";
        return standin::CountLog("Received MAIL", from);
    }
};

// ---- words in any case -----------------------------------------------------

struct Words {
    const char* name;
    const char* ok;
    const char* exists;
    const char* bye;
};

void PrintTo(const Words& c, std::ostream* os)
{
    *os << c.name;
}

class WordsInAnyCase : public ResponseReading, public ::testing::WithParamInterface<Words> {};

TEST_P(WordsInAnyCase, LoginSelectAndIdleGoOnAndMailAndGoodbyeAreHeard)
{
    const Words& words = GetParam();
    const std::string ok = words.ok;
    ScriptServer server;
    TempAccount account;
    ScriptAccount(account, server);
    HWND window = standin::OpenFolder(account.Folder());
    ASSERT_TRUE(server.Accept(20000));

    server.Send("* " + ok + " [capability imap4rev1] ready\r\n");
    std::string tag = server.ExpectCommand("LOGIN alice pw");
    ASSERT_FALSE(tag.empty()) << server.LastLine();
    server.Send(tag + " " + ok + " logged in\r\n");
    tag = server.ExpectCommand("SELECT INBOX");
    ASSERT_FALSE(tag.empty()) << "\"" << ok << "\" to LOGIN was not taken as OK; got: " << server.LastLine();
    server.Send("* 0 " + std::string(words.exists) + "\r\n" + tag + " " + ok + " [read-write] selected\r\n");
    tag = server.ExpectCommand("IDLE");
    ASSERT_FALSE(tag.empty()) << "\"" << ok << "\" to SELECT was not taken as OK; got: " << server.LastLine();
    server.Send("+ idling\r\n");
    ASSERT_GE(WaitFor("trace [01]IDLE mode", 20000), 0);

    long mark = static_cast<long>(standin::LogSize());
    server.Send("* 1 " + std::string(words.exists) + "\r\n");
    EXPECT_TRUE(Announced(window, mark)) << "\"* 1 " << words.exists << "\" was not taken for mail";

    // A goodbye ends the session: the plug-in closes its end.
    server.Send("* " + std::string(words.bye) + " shutting down\r\n");
    EXPECT_TRUE(server.WaitClosed()) << "\"* " << words.bye << "\" while idling was not heard";
    EXPECT_GE(WaitFor("trace [01]IDLE ended by the server"), 0);
    EXPECT_EQ(Count(LoginFailedCommand()), 0) << "the login was taken as rejected";
    EXPECT_EQ(Count(ConnectFailedCommand()), 0);
    EXPECT_TRUE(HostAnswers());
}

INSTANTIATE_TEST_SUITE_P(Table, WordsInAnyCase,
                         ::testing::Values(Words{"LowerCase", "ok", "exists", "bye"},
                                           Words{"MixedCase", "Ok", "eXiStS", "Bye"}),
                         [](const ::testing::TestParamInfo<Words>& info) { return std::string(info.param.name); });

TEST_F(ResponseReading, LowerCasePreauthGreetingSelectsWithoutLogin)
{
    ScriptServer server;
    TempAccount account;
    ScriptAccount(account, server);
    HWND window = standin::OpenFolder(account.Folder());
    ASSERT_TRUE(server.Accept(20000));

    server.Send("* preauth [capability imap4rev1 idle] logged in as alice\r\n");
    std::string tag = server.ExpectCommand("SELECT INBOX");
    ASSERT_FALSE(tag.empty()) << "expected SELECT right after PREAUTH, got: " << server.LastLine();
    server.Send("* 0 EXISTS\r\n" + tag + " OK [READ-WRITE] selected\r\n");
    tag = server.ExpectCommand("IDLE");
    ASSERT_FALSE(tag.empty()) << server.LastLine();
    server.Send("+ idling\r\n");
    ASSERT_GE(WaitFor("trace [01]IDLE mode", 20000), 0);
    long mark = static_cast<long>(standin::LogSize());
    server.Send("* 1 EXISTS\r\n");
    EXPECT_TRUE(Announced(window, mark));
    EXPECT_EQ(Count("LOGIN alice"), 0);
    EXPECT_TRUE(HostAnswers());
}

TEST_F(ResponseReading, LowerCaseByeGreetingIsNotAnsweredWithALogin)
{
    ScriptServer server;
    TempAccount account;
    ScriptAccount(account, server);
    HWND window = standin::OpenFolder(account.Folder());
    ASSERT_TRUE(server.Accept(20000));

    server.Send("* bye too many connections\r\n");
    std::string line;
    EXPECT_FALSE(server.ReadLine(&line, 10000)) << "answered a goodbye with: " << line;
    EXPECT_TRUE(server.WaitClosed());
    // The first connection never reached IDLE: the user is told once.
    HWND box = ui::WaitForWindow("#32770", ErrorCaption, 20000, window);
    ASSERT_NE(box, nullptr) << "no connect-failed box after the goodbye";
    ui::Press(box, IDOK);
    EXPECT_EQ(Count("LOGIN alice"), 0);
    EXPECT_EQ(Count(LoginFailedCommand()), 0);
    EXPECT_TRUE(HostAnswers());
}

TEST_F(ResponseReading, LowerCaseOkToStarttlsStartsTheHandshake)
{
    ScriptServer server;
    TempAccount account;
    ScriptAccount(account, server);
    WritePrivateProfileStringA("imap4", "tls", "2", (account.Folder() + "qvpush.ini").c_str());
    WritePrivateProfileStringA(NULL, NULL, NULL, (account.Folder() + "qvpush.ini").c_str());
    HWND window = standin::OpenFolder(account.Folder());
    ASSERT_TRUE(server.Accept(20000));

    server.Send("* ok [capability imap4rev1 starttls idle] ready\r\n");
    std::string tag = server.ExpectCommand("STARTTLS");
    ASSERT_FALSE(tag.empty()) << server.LastLine();
    server.Send(tag + " ok begin TLS now\r\n");
    std::string first;
    ASSERT_TRUE(server.ReadBytes(1, &first)) << "\"ok\" to STARTTLS did not start the handshake";
    EXPECT_EQ(first, "\x16") << "a TLS handshake record";
    // No TLS server here: a fatal handshake_failure alert ends the handshake.
    server.Send(std::string("\x15\x03\x03\x00\x02\x02\x28", 7));
    HWND box = ui::WaitForWindow("#32770", ErrorCaption, 20000, window);
    ASSERT_NE(box, nullptr);
    ui::Press(box, IDOK);
    EXPECT_EQ(Count("LOGIN alice"), 0);
    EXPECT_TRUE(HostAnswers());
}

// ---- literals and EXISTS inside other text ---------------------------------

// "{n}" and the n bytes of `literal`.
std::string Literal(const std::string& literal)
{
    return "{" + std::to_string(literal.size()) + "}\r\n" + literal;
}

const std::string FetchHead = "* 3 FETCH (BODY[HEADER.FIELDS (SUBJECT)] ";
const std::string HeaderWithExists = "Subject: hello\r\n* 9 EXISTS\r\n\r\n";
const std::string OnlyExists = "\r\n* 9 EXISTS\r\n";

struct NotMail {
    const char* name;
    // What the server sends while the watcher idles, piece by piece: no line
    // may be read while a piece but the last is in.
    std::vector<std::string> pieces;
    // The trace of the one line that the pieces make.
    std::string received;
};

void PrintTo(const NotMail& c, std::ostream* os)
{
    *os << c.name;
}

class NotMailWhileIdling : public ResponseReading, public ::testing::WithParamInterface<NotMail> {};

TEST_P(NotMailWhileIdling, OnlyTheRealExistsAfterItIsAnnounced)
{
    const NotMail& c = GetParam();
    ScriptServer server;
    TempAccount account;
    ScriptAccount(account, server);
    HWND window = standin::OpenFolder(account.Folder());
    ASSERT_TRUE(server.Accept(20000));
    ASSERT_TRUE(PlayToIdle(server));

    size_t mark = standin::LogSize();
    for (size_t i = 0; i < c.pieces.size(); ++i) {
        ASSERT_TRUE(server.Send(c.pieces[i]));
        if (i + 1 < c.pieces.size()) {
            EXPECT_TRUE(standin::NoLogFor("trace [01]Recv:", 300, mark))
                << "a line was read from an unfinished response, after piece " << i;
        }
    }
    // Mail read is told as soon as no more lines wait: a line taken for
    // mail would be told within moments of being read.
    EXPECT_GE(standin::WaitForLog("trace [01]Recv:" + c.received, 20000, mark), 0) << "missing: Recv:" << c.received;
    EXPECT_TRUE(standin::NoLogFor("Received MAIL", 1000, mark)) << "what came before the real EXISTS was taken for mail";
    server.Send("* 10 EXISTS\r\n");
    EXPECT_EQ(MailNoticesUpTo("* 10 EXISTS", mark), 1) << "what came before the real EXISTS was taken for mail";
    EXPECT_TRUE(Announced(window, static_cast<long>(mark)));
    EXPECT_GE(standin::WaitForLog("trace [01]Recv:" + c.received, 0, mark), 0) << "missing: Recv:" << c.received;
    EXPECT_EQ(standin::CountLog("trace [01]Recv:", mark), 2) << "the one line and the real EXISTS";
    EXPECT_EQ(standin::CountLog("Recv:* 9 EXISTS", mark), 0) << "the bytes of a literal were read as a line";
    EXPECT_EQ(Count(ConnectFailedCommand()), 0);
    EXPECT_TRUE(HostAnswers());
}

INSTANTIATE_TEST_SUITE_P(
    Table, NotMailWhileIdling,
    ::testing::Values(
        NotMail{"ExistsInsideAFetchLiteral",
                {FetchHead + Literal(HeaderWithExists) + ")\r\n"},
                FetchHead + "{" + std::to_string(HeaderWithExists.size()) + "})"},
        NotMail{"ExistsInsideTheLiteralOfAnOk", {"* OK " + Literal(OnlyExists) + "\r\n"},
                "* OK {" + std::to_string(OnlyExists.size()) + "}"},
        // Cut after the announcement, inside the literal's "EXISTS" and right
        // after its last byte.
        NotMail{"FetchLiteralInPieces",
                {FetchHead + "{" + std::to_string(HeaderWithExists.size()) + "}\r\n",
                 HeaderWithExists.substr(0, 22), HeaderWithExists.substr(22), ")\r\n"},
                FetchHead + "{" + std::to_string(HeaderWithExists.size()) + "})"},
        NotMail{"ExistsInAlertText", {"* OK [ALERT] 5 EXISTS in your box\r\n"},
                "* OK [ALERT] 5 EXISTS in your box"}),
    [](const ::testing::TestParamInfo<NotMail>& info) { return std::string(info.param.name); });

} // namespace
} // namespace fault
