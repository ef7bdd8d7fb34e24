// Settings files with hostile values, read by qvpush.dll in the stand-in
// host: numbers far out of range, negative ports, a server name of 10,000
// bytes, a password that is no Base64, and bytes from 0x80 up. Whatever the
// file holds, the host stays up, the watcher does the one sensible thing the
// value allows, and it ends when its window closes.
#include "fault/fault_fixture.h"

#include <functional>
#include <utility>

using testing_support::TempAccount;

namespace fault {
namespace {

enum class Outcome {
    ReachesIdle,   // against Dovecot: IDLE, then a delivered mail is announced
    LoginLine,     // against a script server: the LOGIN goes out as `expected`
    ConnectFails,  // the trace shows `expected`, then the connect fails
    NeverConnects, // the watcher stays off
};

struct HostileCase {
    const char* name;
    Outcome outcome;
    // Edits the file's keys; `port` is the port of the server under test.
    std::function<void(std::vector<std::pair<std::string, std::string>>& keys, int port)> edit;
    std::string expected;
};

void PrintTo(const HostileCase& c, std::ostream* os)
{
    *os << c.name;
}

void Set(std::vector<std::pair<std::string, std::string>>& keys, const std::string& key, const std::string& value)
{
    for (auto& entry : keys)
        if (entry.first == key) {
            entry.second = value;
            return;
        }
    keys.push_back(std::make_pair(key, value));
}

class HostileSettings : public FaultTest, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostileSettings, HostStaysUpAndTheWatcherEndsWithItsWindow)
{
    const HostileCase& c = GetParam();
    ScriptServer server;
    TempAccount account;
    std::string user = "alice";
    std::string password = "pw";
    int port = server.Port();
    if (c.outcome == Outcome::ReachesIdle) {
        user = dovecot::UniqueUser("h");
        password = "pw-" + user;
        ASSERT_TRUE(dovecot::AddUser(user, password)) << dovecot::LastError();
        port = dovecot::ImapPort();
    }
    std::string stored = password;
    EncodePassword(stored);
    std::vector<std::pair<std::string, std::string>> keys = {
        {"use", "1"}, {"server", "127.0.0.1"}, {"port", std::to_string(port)}, {"user", user},
        {"pass", stored}, {"debug", "1"}, {"recvAtConnected", "0"},
    };
    c.edit(keys, port);
    std::string file = "[imap4]\r\n";
    for (const auto& entry : keys)
        file += entry.first + "=" + entry.second + "\r\n";
    account.WriteIni(file);

    HWND window = standin::OpenFolder(account.Folder());
    switch (c.outcome) {
    case Outcome::ReachesIdle: {
        ASSERT_GE(WaitFor("trace [01]IDLE mode", 20000), 0);
        long mark = static_cast<long>(standin::LogSize());
        ASSERT_GT(dovecot::Deliver(user, "hostile settings"), 0.0) << dovecot::LastError();
        EXPECT_TRUE(Announced(window, mark));
        break;
    }
    case Outcome::LoginLine: {
        ASSERT_TRUE(server.Accept(20000));
        server.Send(GreetingWithCapabilities);
        std::string line;
        ASSERT_TRUE(server.ReadLine(&line));
        if (line.size() > 2 && line.back() == '}') {
            // A literal: the server's go-ahead, then the rest of the command.
            server.Send("+ go ahead\r\n");
            std::string rest;
            ASSERT_TRUE(server.ReadLine(&rest));
            line += "\n" + rest;
        }
        EXPECT_EQ(line, c.expected);
        break;
    }
    case Outcome::ConnectFails: {
        long tried = WaitFor(c.expected, 20000);
        ASSERT_GE(tried, 0) << "no attempt traced as: " << c.expected.substr(0, 80);
        EXPECT_GE(standin::WaitForLog("trace [01]connect error(", 20000, static_cast<size_t>(tried)), 0);
        break;
    }
    case Outcome::NeverConnects:
        // A watcher that is on tries at once; give it ample time to.
        EXPECT_FALSE(server.Accept(3000)) << "the watcher connected";
        EXPECT_EQ(Count("trace [01]connect to("), 0);
        break;
    }
    EXPECT_TRUE(HostAnswers());

    standin::CloseFolder(window);
    EXPECT_GE(WaitFor("trace [01]thread terminated", 20000), 0);
    EXPECT_TRUE(HostAnswers());
}

std::string Repeat(const std::string& piece, size_t bytes)
{
    std::string text;
    while (text.size() < bytes)
        text += piece;
    return text.substr(0, bytes);
}

const char KanaA[] = "\x82\xA0";   // "あ" in code page 932
const char KanaI[] = "\x82\xA2";   // "い"
const char WideOne[] = "\x82\x50"; // "１", a full-width digit

INSTANTIATE_TEST_SUITE_P(
    Files, HostileSettings,
    ::testing::Values(
        // A port outside 1 to 65535 is the IMAP port, not the server's port
        // taken modulo 65536 by the socket layer.
        HostileCase{"NegativePortBecomes143", Outcome::ConnectFails,
                    [](auto& keys, int port) { Set(keys, "port", std::to_string(port - 65536)); },
                    "trace [01]connect to(127.0.0.1,143,100007f)"},
        HostileCase{"HugePortBecomes143", Outcome::ConnectFails,
                    [](auto& keys, int port) { Set(keys, "port", std::to_string(port + 65536 * 30000)); },
                    "trace [01]connect to(127.0.0.1,143,100007f)"},
        HostileCase{"HugeAndNegativeTimesStillIdle", Outcome::ReachesIdle,
                    [](auto& keys, int) {
                        Set(keys, "refreshTime", "99999999999999999999");
                        Set(keys, "recvTimeout", "-5");
                        Set(keys, "use", "4294967297");
                        Set(keys, "debug", "-99999999999999999999");
                    },
                    ""},
        HostileCase{"PortBeyond32BitsBecomes143", Outcome::ConnectFails,
                    [](auto& keys, int) { Set(keys, "port", "99999999999999999999"); },
                    "trace [01]connect to(127.0.0.1,143,100007f)"},
        HostileCase{"PortMinusOneBecomes143", Outcome::ConnectFails, [](auto& keys, int) { Set(keys, "port", "-1"); },
                    "trace [01]connect to(127.0.0.1,143,100007f)"},
        HostileCase{"FullWidthDigitsAreNoNumberAndPort0Becomes143", Outcome::ConnectFails,
                    [](auto& keys, int) { Set(keys, "port", std::string(WideOne) + WideOne); },
                    "trace [01]connect to(127.0.0.1,143,100007f)"},
        // One label far over the 63 bytes a name may have: the resolver
        // refuses it without asking any name server.
        HostileCase{"ServerNameOf10000Bytes", Outcome::ConnectFails,
                    [](auto& keys, int) { Set(keys, "server", std::string(10000, 'a')); },
                    "trace [01]connect to(" + std::string(299, 'a') + ","},
        HostileCase{"ServerNameOf10000EightBitBytes", Outcome::ConnectFails,
                    [](auto& keys, int) { Set(keys, "server", Repeat(KanaA, 10000)); },
                    "trace [01]connect to(" + Repeat(KanaA, 200)},
        HostileCase{"PasswordThatIsNoBase64GoesOutEmpty", Outcome::LoginLine,
                    [](auto& keys, int) { Set(keys, "pass", "!!not*base64%%"); }, "C001 LOGIN alice \"\""},
        HostileCase{"EightBitUserGoesOutAsALiteral", Outcome::LoginLine,
                    [](auto& keys, int) { Set(keys, "user", std::string(KanaA) + KanaI); },
                    std::string("C001 LOGIN {4}\n") + KanaA + KanaI + " pw"},
        HostileCase{"FullWidthOneIsNoUse", Outcome::NeverConnects,
                    [](auto& keys, int) { Set(keys, "use", WideOne); }, ""}),
    [](const ::testing::TestParamInfo<HostileCase>& info) { return std::string(info.param.name); });

} // namespace
} // namespace fault
