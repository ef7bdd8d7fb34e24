// The two IMAP peers that the client's tests talk to: the run's private
// Dovecot with its control service, and the scripted server. Each is checked
// here with a plain Winsock client, so that a fault in a peer shows up as
// itself and not as a fault of the client under test.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "support/dovecot.h"
#include "support/script_server.h"

namespace {

// A blocking client with deadlines, written for these checks only.
class RawClient {
public:
    RawClient() = default;
    ~RawClient() { Close(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // 0 when connected, else the Winsock error (WSAECONNREFUSED, ...).
    int Connect(int port)
    {
        Close();
        socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (socket_ == INVALID_SOCKET)
            return WSAGetLastError();
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            int error = WSAGetLastError();
            Close();
            return error;
        }
        BOOL noDelay = TRUE;
        setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
        return 0;
    }

    bool Send(const std::string& bytes) { return SendError(bytes) == 0; }
    // 0 when the bytes went out, else the Winsock error.
    int SendError(const std::string& bytes)
    {
        if (socket_ == INVALID_SOCKET)
            return WSAENOTSOCK;
        int n = send(socket_, bytes.data(), static_cast<int>(bytes.size()), 0);
        return n == static_cast<int>(bytes.size()) ? 0 : WSAGetLastError();
    }

    // What the next receive brings within the time-out: bytes (result > 0),
    // end of stream (0), a failure (the negated Winsock error) or nothing
    // (kTimedOut).
    static constexpr int kTimedOut = -1;
    int Receive(std::string* bytes, DWORD timeoutMs = 10000)
    {
        bytes->clear();
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(socket_, &readable);
        timeval wait = {static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
        int ready = select(0, &readable, NULL, NULL, &wait);
        if (ready == 0)
            return kTimedOut;
        if (ready < 0)
            return -WSAGetLastError();
        char chunk[4096];
        int n = recv(socket_, chunk, sizeof chunk, 0);
        if (n < 0)
            return -WSAGetLastError();
        bytes->assign(chunk, static_cast<size_t>(n));
        return n;
    }

    // The next line, CR LF stripped.
    bool ReadLine(std::string* line, DWORD timeoutMs = 10000)
    {
        DWORD start = GetTickCount();
        for (;;) {
            size_t end = pending_.find("\r\n");
            if (end != std::string::npos) {
                *line = pending_.substr(0, end);
                pending_.erase(0, end + 2);
                return true;
            }
            DWORD elapsed = GetTickCount() - start;
            std::string bytes;
            if (elapsed >= timeoutMs || Receive(&bytes, timeoutMs - elapsed) <= 0) {
                *line = "(no line)";
                return false;
            }
            pending_ += bytes;
        }
    }

    // Reads lines until one starts with `prefix` and returns it; untagged
    // lines before it are skipped.
    std::string ReadUntil(const std::string& prefix, DWORD timeoutMs = 10000)
    {
        DWORD start = GetTickCount();
        std::string line;
        for (;;) {
            DWORD elapsed = GetTickCount() - start;
            if (elapsed >= timeoutMs || !ReadLine(&line, timeoutMs - elapsed))
                return "(nothing starting with " + prefix + ")";
            if (line.compare(0, prefix.size(), prefix) == 0)
                return line;
        }
    }

    void Close()
    {
        if (socket_ != INVALID_SOCKET)
            closesocket(socket_);
        socket_ = INVALID_SOCKET;
        pending_.clear();
    }

private:
    SOCKET socket_ = INVALID_SOCKET;
    std::string pending_;
};

bool StartsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// An IMAP quoted string.
std::string Quoted(const std::string& text)
{
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

// ---- the run's Dovecot ------------------------------------------------------

class DovecotPeer : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_GT(dovecot::ImapPort(), 0) << "QVPUSH_DOVECOT_PORT is not set";
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    void TearDown() override { WSACleanup(); }

    // Connects and logs in; the tagged reply to LOGIN.
    static std::string Login(RawClient& client, const std::string& user, const std::string& password)
    {
        if (client.Connect(dovecot::ImapPort()) != 0)
            return "(no connection)";
        std::string greeting;
        if (!client.ReadLine(&greeting) || !StartsWith(greeting, "* OK"))
            return "(greeting: " + greeting + ")";
        client.Send("a1 LOGIN " + user + " " + Quoted(password) + "\r\n");
        return client.ReadUntil("a1 ");
    }
};

TEST_F(DovecotPeer, LoginSelectIdleSeesADeliveryAndTheSessionIsCounted)
{
    const std::string user = dovecot::UniqueUser("Peer.Idle");
    const std::string password = "pa ss\"w\\rd@x";
    ASSERT_TRUE(dovecot::AddUser(user, password)) << dovecot::LastError();
    for (char c : user)
        ASSERT_TRUE((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_') << user;
    EXPECT_NE(dovecot::UniqueUser("Peer.Idle"), user);

    RawClient client;
    ASSERT_TRUE(StartsWith(Login(client, user, password), "a1 OK")) << "the password did not arrive intact";
    EXPECT_TRUE(dovecot::WaitLogins(user, 1)) << dovecot::LastError();
    EXPECT_TRUE(dovecot::WaitConnections(user, 1)) << dovecot::LastError();

    client.Send("a2 SELECT INBOX\r\n");
    EXPECT_EQ(client.ReadUntil("* 0 EXISTS"), "* 0 EXISTS") << "a new user starts with an empty INBOX";
    EXPECT_TRUE(StartsWith(client.ReadUntil("a2 "), "a2 OK"));
    client.Send("a3 IDLE\r\n");
    std::string line;
    ASSERT_TRUE(client.ReadLine(&line));
    ASSERT_EQ(line, "+ idling");

    double before = MonotonicMs();
    double delivered = dovecot::Deliver(user, "Hello \"there\" \\ %41 日本");
    double after = MonotonicMs();
    ASSERT_GT(delivered, 0.0) << dovecot::LastError();
    // The service's clock must be the test's clock, or no timing comparison
    // between the two means anything.
    EXPECT_LE(before, delivered);
    EXPECT_LE(delivered, after);

    ASSERT_TRUE(client.ReadLine(&line, 15000)) << "no untagged response after the delivery";
    double heard = MonotonicMs();
    EXPECT_EQ(line, "* 1 EXISTS");
    EXPECT_GE(heard, delivered);
    client.Send("DONE\r\n");
    EXPECT_TRUE(StartsWith(client.ReadUntil("a3 "), "a3 OK"));

    client.Close();
    EXPECT_TRUE(dovecot::WaitConnections(user, 0)) << dovecot::LastError();
    EXPECT_EQ(dovecot::Logins(user), 1);
}

TEST_F(DovecotPeer, FailedLoginsAnswerNoAtOnceAndCostTheNextLoginNothing)
{
    const std::string user = dovecot::UniqueUser("peer_fail");
    ASSERT_TRUE(dovecot::AddUser(user, "right")) << dovecot::LastError();
    // Dovecot's defaults hold a failed login for 1.5 s and then delay every
    // login from the address for seconds: the tests share 127.0.0.1 and fail
    // logins on purpose, so neither may happen.
    const struct {
        const char* password;
        const char* reply;
    } attempts[] = {{"wrong", "a1 NO"}, {"Right", "a1 NO"}, {"right", "a1 OK"}};
    for (const auto& attempt : attempts) {
        RawClient client;
        double start = MonotonicMs();
        std::string reply = Login(client, user, attempt.password);
        double took = MonotonicMs() - start;
        EXPECT_TRUE(StartsWith(reply, attempt.reply)) << attempt.password << ": " << reply;
        EXPECT_LT(took, 1300.0) << attempt.password;
    }
    EXPECT_TRUE(dovecot::WaitLogins(user, 1)) << dovecot::LastError();
    EXPECT_EQ(dovecot::Logins("nobody_logged_in_as_this"), 0);
}

TEST_F(DovecotPeer, SelectFailingUserLogsInButSelectAnswersNo)
{
    const std::string user = dovecot::UniqueUser("peer_sel");
    ASSERT_TRUE(dovecot::AddUser(user, "pw", true)) << dovecot::LastError();
    RawClient client;
    ASSERT_TRUE(StartsWith(Login(client, user, "pw"), "a1 OK"));
    client.Send("a2 SELECT INBOX\r\n");
    EXPECT_TRUE(StartsWith(client.ReadUntil("a2 "), "a2 NO"));
}

TEST_F(DovecotPeer, ReplacedPasswordHoldsFromTheNextLogin)
{
    const std::string user = dovecot::UniqueUser("peer_pw");
    ASSERT_TRUE(dovecot::AddUser(user, "first")) << dovecot::LastError();
    RawClient client;
    ASSERT_TRUE(StartsWith(Login(client, user, "first"), "a1 OK"));
    // Same length: Dovecot notices the change by the file's time alone.
    ASSERT_TRUE(dovecot::AddUser(user, "other")) << dovecot::LastError();
    EXPECT_TRUE(StartsWith(Login(client, user, "other"), "a1 OK"));
    EXPECT_TRUE(StartsWith(Login(client, user, "first"), "a1 NO"));
}

TEST_F(DovecotPeer, ControlServiceRefusesWhatDovecotCouldNotTakeWhole)
{
    const std::string user = dovecot::UniqueUser("peer_bad");
    EXPECT_FALSE(dovecot::AddUser(user, "colon:inside"));
    EXPECT_FALSE(dovecot::AddUser(user, ""));
    EXPECT_FALSE(dovecot::AddUser(user, "line\r\nbreak"));
    EXPECT_FALSE(dovecot::AddUser("bad name", "pw"));
    EXPECT_FALSE(dovecot::AddUser("../escape", "pw"));
    EXPECT_LT(dovecot::Deliver(user, "to nobody"), 0.0) << "a delivery to an unknown user succeeded";
    EXPECT_NE(dovecot::LastError().find("no such user"), std::string::npos) << dovecot::LastError();
}

TEST_F(DovecotPeer, KickSendsByeAndEndsTheSession)
{
    const std::string user = dovecot::UniqueUser("peer_kick");
    ASSERT_TRUE(dovecot::AddUser(user, "pw")) << dovecot::LastError();
    RawClient client;
    ASSERT_TRUE(StartsWith(Login(client, user, "pw"), "a1 OK"));
    client.Send("a2 SELECT INBOX\r\na3 IDLE\r\n");
    ASSERT_EQ(client.ReadUntil("+ "), "+ idling");
    ASSERT_TRUE(dovecot::WaitConnections(user, 1)) << dovecot::LastError();

    ASSERT_TRUE(dovecot::Kick(user)) << dovecot::LastError();
    EXPECT_TRUE(StartsWith(client.ReadUntil("* BYE"), "* BYE"));
    std::string bytes;
    EXPECT_EQ(client.Receive(&bytes), 0) << "the connection did not end after BYE: " << bytes;
    EXPECT_TRUE(dovecot::WaitConnections(user, 0)) << dovecot::LastError();
}

// Stops the server that every other test shares: runs alone (see
// require_dovecot in tests/CMakeLists.txt).
TEST_F(DovecotPeer, RestartStopRefusesConnectionsAndStartAcceptsThemAgain)
{
    const std::string user = dovecot::UniqueUser("peer_restart");
    ASSERT_TRUE(dovecot::AddUser(user, "pw")) << dovecot::LastError();
    RawClient idler;
    ASSERT_TRUE(StartsWith(Login(idler, user, "pw"), "a1 OK"));
    idler.Send("a2 SELECT INBOX\r\na3 IDLE\r\n");
    ASSERT_EQ(idler.ReadUntil("+ "), "+ idling");

    // Whatever fails below, the other tests get their server back.
    struct Restart {
        ~Restart() { dovecot::Start(); }
    } restart;
    ASSERT_TRUE(dovecot::Stop()) << dovecot::LastError();
    RawClient client;
    EXPECT_EQ(client.Connect(dovecot::ImapPort()), WSAECONNREFUSED);
    // The open session ends too (after a BYE, which it may or may not get).
    std::string bytes;
    int received;
    while ((received = idler.Receive(&bytes)) > 0) {
    }
    EXPECT_NE(received, RawClient::kTimedOut) << "the session outlived the server";
    EXPECT_EQ(dovecot::Connections(user), 0);

    ASSERT_TRUE(dovecot::Start()) << dovecot::LastError();
    EXPECT_TRUE(StartsWith(Login(client, user, "pw"), "a1 OK")) << "users must outlive a restart";
    EXPECT_TRUE(dovecot::WaitLogins(user, 2)) << dovecot::LastError();
}

// ---- the scripted server ----------------------------------------------------

class ScriptServerPeer : public ::testing::Test {
protected:
    void SetUp() override
    {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
        ASSERT_TRUE(server.Listening());
        ASSERT_GT(server.Port(), 0);
    }
    void TearDown() override { WSACleanup(); }

    ScriptServer server;
    RawClient client;
};

TEST_F(ScriptServerPeer, CarriesExactBytesBothWaysAndJoinsLinesSentInPieces)
{
    double before = MonotonicMs();
    ASSERT_EQ(client.Connect(server.Port()), 0);
    ASSERT_TRUE(server.Accept());
    EXPECT_EQ(server.Accepted(), 1);
    EXPECT_GE(server.AcceptedAtMs(0), before);
    EXPECT_LE(server.AcceptedAtMs(0), MonotonicMs());

    // Server to client: the bytes as given, a NUL and high bytes included.
    const char raw[] = "* OK \x00\xff\x83\x81 ready\r\n";
    const std::string greeting(raw, sizeof raw - 1);
    ASSERT_TRUE(server.Send(greeting));
    std::string got, bytes;
    while (got.size() < greeting.size() && client.Receive(&bytes) > 0)
        got += bytes;
    EXPECT_EQ(got, greeting);

    // Client to server: a command in two pieces, the first read before the
    // second is sent; the piece survives the read that timed out.
    client.Send("a1 LOGIN us");
    std::string line;
    EXPECT_FALSE(server.ReadLine(&line, 200));
    EXPECT_EQ(server.LastLine(), "(no line: time-out)");
    client.Send("er pw\r\na2 SELECT INBOX\r\n{5}\r\nab\r\ncDONE\n");
    EXPECT_EQ(server.ExpectCommand("LOGIN user pw"), "a1");
    EXPECT_EQ(server.ExpectCommand("IDLE"), "") << "a different command was taken";
    EXPECT_EQ(server.LastLine(), "a2 SELECT INBOX");
    ASSERT_TRUE(server.ReadLine(&line));
    EXPECT_EQ(line, "{5}");
    ASSERT_TRUE(server.ReadBytes(5, &bytes));
    EXPECT_EQ(bytes, "ab\r\nc");
    ASSERT_TRUE(server.ReadLine(&line));
    EXPECT_EQ(line, "DONE") << "a lone LF ends a line too";
    EXPECT_FALSE(server.ReadLine(&line, 100));
}

TEST_F(ScriptServerPeer, CloseEndsTheStreamResetResetsItAndAcceptDropsThePrevious)
{
    ASSERT_EQ(client.Connect(server.Port()), 0);
    ASSERT_TRUE(server.Accept());
    client.Send("a1 NOOP\r\n"); // unread by the server: the close must stay orderly
    EXPECT_TRUE(server.Send("* BYE\r\n"));
    server.Close();
    std::string bytes, got;
    int received;
    while ((received = client.Receive(&bytes)) > 0)
        got += bytes;
    EXPECT_EQ(got, "* BYE\r\n");
    EXPECT_EQ(received, 0) << "an orderly close must read as end of stream";
    EXPECT_EQ(client.SendError("a2 NOOP\r\n"), 0) << "an orderly close let the client send once more";
    EXPECT_FALSE(server.Send("x")) << "no client after Close";

    ASSERT_EQ(client.Connect(server.Port()), 0);
    ASSERT_TRUE(server.Accept());
    server.Reset();
    // Windows reports the reset to the receive. Wine 8 sends a FIN before the
    // RST and its server takes the socket error, so the receive reads the end
    // of the stream; the reset shows in the next send all the same.
    received = client.Receive(&bytes);
    EXPECT_TRUE(received == 0 || received == -WSAECONNRESET) << received;
    EXPECT_EQ(client.SendError("a2 NOOP\r\n"), WSAECONNRESET) << "the client saw no reset";

    RawClient second;
    ASSERT_EQ(client.Connect(server.Port()), 0);
    ASSERT_TRUE(server.Accept());
    ASSERT_EQ(second.Connect(server.Port()), 0);
    ASSERT_TRUE(server.Accept());
    EXPECT_EQ(client.Receive(&bytes), 0) << "the previous client was not closed";
    EXPECT_EQ(server.Accepted(), 4);
    EXPECT_LE(server.AcceptedAtMs(2), server.AcceptedAtMs(3));

    // WaitClosed: not while the client stays; yes once it closes, with what
    // it sent before still readable.
    EXPECT_FALSE(server.WaitClosed(200));
    second.Send("a9 LOGOUT\r\n");
    second.Close();
    EXPECT_TRUE(server.WaitClosed());
    std::string line;
    EXPECT_TRUE(server.ReadLine(&line));
    EXPECT_EQ(line, "a9 LOGOUT");
    EXPECT_FALSE(server.ReadLine(&line, 100));
    EXPECT_EQ(server.LastLine(), "(no line: connection closed)");
}

TEST_F(ScriptServerPeer, StopListeningRefusesNewConnections)
{
    ASSERT_EQ(client.Connect(server.Port()), 0);
    server.StopListening();
    EXPECT_FALSE(server.Listening());
    RawClient late;
    EXPECT_EQ(late.Connect(server.Port()), WSAECONNREFUSED);
    EXPECT_FALSE(server.Accept(100));
}

} // namespace
