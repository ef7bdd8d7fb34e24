// Encrypted sessions against the scripted TLS peer (tests/tls/tls_peer.py):
// certificates the check must refuse, pinned fingerprints, servers given by
// address, and records that arrive byte by byte or many to a segment. The
// peer listens on 127.0.0.1 from QVPUSH_TLS_PEER_PORT, one port per
// behaviour; the test CA is trusted in the Wine prefix.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <ctype.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "net/helper_thread.h"
#include "standin/host.h"
#include "support/session_harness.h"

namespace {

// The peer's ports, as offsets from its base port.
enum PeerPort {
    GoodCertificate = 0,
    WrongName = 1,
    SelfSigned = 2,
    Expired = 3,
    OtherCaLeaf = 4,
    NoAddressEntry = 5,
    ByteBySegment = 6,
    RecordsInOneSegment = 7,
    WithUrls = 9, // a leaf whose CRL and issuer are on the certificates' URL port
};

const int AttemptWaitMs = 30000;

std::string FailedNotice(ConnectFailReason reason)
{
    return "notice connect-failed (lParam " + std::to_string(static_cast<int>(reason)) + ")";
}

// The fingerprint in <name>.sha256: 64 upper-case hex digits.
std::string Fingerprint(const char* name)
{
    std::string path = std::string(QVPUSH_TLS_DIR) + "/" + name + ".sha256";
    std::string text;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        char buffer[128];
        size_t n = fread(buffer, 1, sizeof buffer, f);
        fclose(f);
        text.assign(buffer, n);
    }
    while (!text.empty() && isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    return text;
}

// "AB12CD..." as a user may paste it: "ab:12:cd:...".
std::string WithColonsLowerCase(const std::string& hex)
{
    std::string out;
    for (size_t i = 0; i < hex.size(); ++i) {
        if (i > 0 && i % 2 == 0)
            out += ':';
        out += static_cast<char>(tolower(static_cast<unsigned char>(hex[i])));
    }
    return out;
}

// The lines the session read ("Recv:" in its trace) since `from`, whole.
std::vector<std::string> ReceivedLines(size_t from)
{
    const std::string marker = "trace [01]Recv:";
    std::vector<std::string> lines;
    for (const standin::TimedLine& entry : standin::TimedLogLines(from)) {
        size_t at = entry.text.find(marker);
        if (at == std::string::npos)
            continue;
        std::string line = entry.text.substr(at + marker.size());
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

class TlsPeer : public ::testing::Test {
protected:
    SessionHarness harness;
    ::Session& w = harness.session;

    void SetUp() override
    {
        SetText(w.settings.user, "peer-user");
        SetText(w.settings.pass, "peer-password");
        SetText(w.settings.server, "localhost");
        w.settings.tls = 1;
        w.settings.recvAtConnected = 0;
    }
    void TearDown() override
    {
        harness.Stop();
        // What the session did, for a red run.
        if (HasFailure()) {
            for (const standin::TimedLine& line : standin::TimedLogLines(harness.mark))
                printf("  %s\n", line.text.c_str());
        }
    }

    void Connect(PeerPort port, const char* server = "localhost", const std::string& pin = "")
    {
        SetText(w.settings.server, server);
        SetText(w.settings.tlsFingerprint, pin);
        w.settings.port = QVPUSH_TLS_PEER_PORT + port;
        harness.Start();
    }

    // Waits for IDLE and the one "* 1 EXISTS" the peer sends in it, and its
    // notice.
    void ExpectIdleAndOneMailNotice()
    {
        long idle = harness.WaitFor("trace [01]IDLE mode", AttemptWaitMs);
        ASSERT_GE(idle, 0) << "IDLE not reached";
        long exists = standin::WaitForLog("trace [01]Recv:* 1 EXISTS", AttemptWaitMs, harness.mark);
        ASSERT_GE(exists, 0);
        ASSERT_GE(standin::WaitForLog("notice mail", AttemptWaitMs, exists), 0);
        // Once the session's thread has ended, every notice it will post is
        // posted.
        harness.Stop();
        EXPECT_EQ(harness.Count("post mail"), 1);
        EXPECT_EQ(harness.Count("post connect-failed"), 0);
    }

    // The first attempt is refused for `reason` with one notice, before any
    // command goes out; the next attempt comes at the pace of a failed one,
    // is refused the same way, and tells the user nothing more.
    void ExpectRefusedTwiceWithOneNotice(ConnectFailReason reason, const std::string& verdict)
    {
        ASSERT_GE(harness.WaitFor(FailedNotice(reason), AttemptWaitMs), 0);
        long first = harness.WaitFor("trace [01]connect to(");
        ASSERT_GE(first, 0);
        long second = standin::WaitForLog("trace [01]connect to(", AttemptWaitMs, first + 1);
        ASSERT_GE(second, 0) << "no second attempt";
        long refused = standin::WaitForLog("trace [01]secure connection failed(", AttemptWaitMs, second);
        ASSERT_GE(refused, 0);
        // The notice is posted before the connection closes.
        ASSERT_GE(standin::WaitForLog("trace [01]CloseSocket", AttemptWaitMs, refused), 0);

        std::vector<standin::TimedLine> lines = standin::TimedLogLines();
        double gap = lines[static_cast<size_t>(second)].ms - lines[static_cast<size_t>(first)].ms;
        EXPECT_GE(gap, 2900.0) << "the retry must keep the pace of a failed attempt";

        EXPECT_EQ(harness.Count("trace [01]certificate " + verdict), 2);
        EXPECT_EQ(harness.Count("post connect-failed"), 1) << "one notice for the same failure";
        EXPECT_EQ(harness.Count("trace [01]C001"), 0) << "nothing may be sent after a refused certificate";
    }
};

// ---- certificates the check refuses ------------------------------------------

struct Refusal {
    const char* name;
    PeerPort port;
    const char* server;
    ConnectFailReason reason;
    const char* verdict;
};

void PrintTo(const Refusal& refusal, std::ostream* os)
{
    *os << refusal.name;
}

class TlsPeerRefusals : public TlsPeer, public ::testing::WithParamInterface<Refusal> {};

TEST_P(TlsPeerRefusals, RefusedBeforeAnyCommandWithOneNoticeAndRetried)
{
    const Refusal& refusal = GetParam();
    Connect(refusal.port, refusal.server);
    ExpectRefusedTwiceWithOneNotice(refusal.reason, refusal.verdict);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TlsPeerRefusals,
    ::testing::Values(Refusal{"WrongName", WrongName, "localhost", ReasonCertName, "name mismatch"},
                      Refusal{"SelfSigned", SelfSigned, "localhost", ReasonCertUntrusted, "untrusted"},
                      Refusal{"Expired", Expired, "localhost", ReasonCertExpired, "expired"},
                      Refusal{"UntrustedCaLeafOnly", OtherCaLeaf, "localhost", ReasonCertUntrusted, "untrusted"},
                      // A server given by address needs that address in the
                      // certificate; the name alone does not do.
                      Refusal{"AddressNotInCertificate", NoAddressEntry, "127.0.0.1", ReasonCertName,
                              "name mismatch"}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

// ---- pinned fingerprints ------------------------------------------------------

TEST_F(TlsPeer, PinnedSelfSignedCertificateIsAccepted)
{
    std::string pin = Fingerprint("selfsigned");
    ASSERT_EQ(pin.size(), 64u) << "selfsigned.sha256 missing in " << QVPUSH_TLS_DIR;
    Connect(SelfSigned, "localhost", WithColonsLowerCase(pin));
    ExpectIdleAndOneMailNotice();
    EXPECT_EQ(harness.Count("trace [01]certificate sha256(" + pin + ")"), 1);
    EXPECT_EQ(harness.Count("trace [01]certificate accepted"), 1);
}

struct PinRefusal {
    const char* name;
    std::string pin;
    ConnectFailReason reason;
    const char* verdict;
};

void PrintTo(const PinRefusal& refusal, std::ostream* os)
{
    *os << refusal.name;
}

class TlsPeerPinRefusals : public TlsPeer, public ::testing::WithParamInterface<PinRefusal> {};

// The good certificate verifies, and is refused all the same.
TEST_P(TlsPeerPinRefusals, VerifyingCertificateRefused)
{
    const PinRefusal& refusal = GetParam();
    ASSERT_FALSE(refusal.pin.empty());
    Connect(GoodCertificate, "localhost", refusal.pin);
    ExpectRefusedTwiceWithOneNotice(refusal.reason, refusal.verdict);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TlsPeerPinRefusals,
    ::testing::Values(PinRefusal{"AnotherCertificatePinned", Fingerprint("selfsigned"), ReasonPinMismatch,
                                 "not the pinned certificate"},
                      PinRefusal{"PinNotAFingerprint", "not-a-pin", ReasonPinSetting, "tlsFingerprint invalid"}),
    [](const ::testing::TestParamInfo<PinRefusal>& info) { return std::string(info.param.name); });

// ---- a server given by address ------------------------------------------------

TEST_F(TlsPeer, AddressInTheCertificateIsAccepted)
{
    Connect(GoodCertificate, "127.0.0.1");
    ExpectIdleAndOneMailNotice();
    EXPECT_EQ(harness.Count("trace [01]certificate accepted"), 1);
}

// ---- the helper threads' stacks ----------------------------------------------

// What each helper thread asked for.
struct ThreadRequest {
    SIZE_T stackSize;
    DWORD flags;
};
std::vector<ThreadRequest> HelperRequests;
CRITICAL_SECTION HelperRequestsLock;

HANDLE WINAPI RecordingCreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE routine,
                                    LPVOID parameter, DWORD flags, LPDWORD threadId)
{
    EnterCriticalSection(&HelperRequestsLock);
    HelperRequests.push_back(ThreadRequest{stackSize, flags});
    LeaveCriticalSection(&HelperRequestsLock);
    return CreateThread(attributes, stackSize, routine, parameter, flags, threadId);
}

// Windows holds a thread to the stack it reserves, and the name lookup and
// the certificate check call deep into the system's providers: each helper
// thread reserves at least a quarter of a megabyte. (Wine gives every thread
// about a megabyte whatever it asks, so only the request shows it here.)
TEST_F(TlsPeer, EveryHelperThreadReservesAQuarterMegabyteOfStack)
{
    InitializeCriticalSection(&HelperRequestsLock);
    ThreadCreator previous = ReplaceHelperThreadCreator(RecordingCreateThread);
    Connect(GoodCertificate, "localhost"); // a name: looked up on a helper thread
    ExpectIdleAndOneMailNotice();          // stops the session
    ReplaceHelperThreadCreator(previous);
    EnterCriticalSection(&HelperRequestsLock);
    std::vector<ThreadRequest> requests = HelperRequests;
    LeaveCriticalSection(&HelperRequestsLock);
    DeleteCriticalSection(&HelperRequestsLock);

    EXPECT_EQ(requests.size(), 2u) << "one lookup and one certificate check";
    for (const ThreadRequest& request : requests) {
        EXPECT_GE(request.stackSize, static_cast<SIZE_T>(256 * 1024));
        EXPECT_NE(request.flags & STACK_SIZE_PARAM_IS_A_RESERVATION, 0u) << "the size must be the reservation";
    }
}

// ---- a certificate check that never ends --------------------------------------

// The helper threads started, each by a handle of its own.
std::vector<HANDLE> HelperThreads;
CRITICAL_SECTION HelperThreadsLock;

HANDLE WINAPI KeepingCreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE routine,
                                  LPVOID parameter, DWORD flags, LPDWORD threadId)
{
    HANDLE thread = CreateThread(attributes, stackSize, routine, parameter, flags, threadId);
    HANDLE kept = NULL;
    if (thread != NULL &&
        DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &kept, SYNCHRONIZE, FALSE, 0)) {
        EnterCriticalSection(&HelperThreadsLock);
        HelperThreads.push_back(kept);
        LeaveCriticalSection(&HelperThreadsLock);
    }
    return thread;
}

int HelperThreadsAlive()
{
    int alive = 0;
    EnterCriticalSection(&HelperThreadsLock);
    for (HANDLE thread : HelperThreads)
        alive += WaitForSingleObject(thread, 0) == WAIT_TIMEOUT ? 1 : 0;
    LeaveCriticalSection(&HelperThreadsLock);
    return alive;
}

// The port that the certificates' CRL and issuer addresses name.
int UrlPort()
{
    std::string path = std::string(QVPUSH_TLS_DIR) + "/withurls.port";
    int port = 0;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        if (fscanf(f, "%d", &port) != 1)
            port = 0;
        fclose(f);
    }
    return port;
}

// A web server that takes every connection and never answers: under Wine
// the chain engine then waits for the CRL without end, whatever limit it was
// given.
class SilentWebServer {
public:
    ~SilentWebServer()
    {
        if (listener_ != INVALID_SOCKET)
            closesocket(listener_);
    }
    bool Listen(int port)
    {
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in at = {};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        at.sin_port = htons(static_cast<u_short>(port));
        // The backlog completes the connections; nothing ever reads them.
        return listener_ != INVALID_SOCKET && bind(listener_, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
               listen(listener_, 64) == 0;
    }

private:
    SOCKET listener_ = INVALID_SOCKET;
};

// The check is given up 15 s after the handshake, and the user told once
// why; while the abandoned check still hangs, later attempts start no
// second one for the account and fail for the same reason at once.
TEST_F(TlsPeer, CheckThatNeverEndsIsGivenUpAtItsDeadlineAndNeverRunsTwice)
{
    SilentWebServer silent;
    ASSERT_TRUE(silent.Listen(UrlPort())) << "port " << UrlPort() << " is taken";
    InitializeCriticalSection(&HelperThreadsLock);
    ThreadCreator previous = ReplaceHelperThreadCreator(KeepingCreateThread);
    w.checkKey = "peer account";
    Connect(WithUrls);

    long late = harness.WaitFor(FailedNotice(ReasonCertCheckLate), 60000);
    ASSERT_GE(late, 0) << "a check that never ends was not given up";
    long took = standin::WaitForLog("trace [01]certificate check took ", 1000, harness.mark);
    ASSERT_GE(took, 0);
    unsigned ms = 0;
    std::string line = standin::TimedLogLines()[static_cast<size_t>(took)].text;
    sscanf(line.c_str() + line.find("took ") + 5, "%u", &ms);
    EXPECT_GE(ms, 14900u) << line;
    EXPECT_LT(ms, 20000u) << line;

    // Three minutes of attempts at the pace of failures: 3, 3, 6, 12, 24,
    // 48 and 96 s apart; each has ended once its connection closed.
    long attempt = late;
    for (int n = 1; n <= 7 && attempt >= 0; ++n) {
        attempt = standin::WaitForLog("trace [01]TLS handshake(", 150000, attempt + 1);
        if (attempt >= 0)
            attempt = standin::WaitForLog("trace [01]CloseSocket", 30000, attempt);
    }
    ASSERT_GE(attempt, 0) << "fewer attempts than expected";
    EXPECT_EQ(HelperThreadsAlive(), 1) << "one check thread, not one per attempt";
    harness.Stop();
    ReplaceHelperThreadCreator(previous);

    EXPECT_EQ(harness.Count("trace [01]certificate check still running"), 7);
    EXPECT_EQ(harness.Count("trace [01]certificate check took "), 1);
    EXPECT_EQ(harness.Count("post connect-failed"), 1) << "told once";
    EXPECT_EQ(harness.Count("trace [01]C001"), 0) << "nothing may be sent before the certificate is accepted";
}

// ---- how the records arrive ---------------------------------------------------

struct Delivery {
    const char* name;
    PeerPort port;
};

void PrintTo(const Delivery& delivery, std::ostream* os)
{
    *os << delivery.name;
}

class TlsPeerRecords : public TlsPeer, public ::testing::WithParamInterface<Delivery> {};

TEST_P(TlsPeerRecords, EveryLineArrivesWholeAndOnce)
{
    Connect(GetParam().port);
    ExpectIdleAndOneMailNotice();
    // Every line the session reads on its way to IDLE, and the one in IDLE.
    const char* lines[] = {
        "* OK [CAPABILITY IMAP4rev1 IDLE] tls peer ready",
        "C001 OK LOGIN completed",
        "* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft)",
        "* OK [PERMANENTFLAGS (\\Seen)] flags",
        "* 0 EXISTS",
        "* 0 RECENT",
        "* OK [UIDVALIDITY 1] uids",
        "C002 OK [READ-WRITE] SELECT completed",
        "+ idling",
        "* 1 EXISTS",
    };
    std::vector<std::string> received = ReceivedLines(harness.mark);
    for (const char* line : lines) {
        int times = 0;
        for (const std::string& got : received)
            times += got == line ? 1 : 0;
        EXPECT_EQ(times, 1) << line;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, TlsPeerRecords,
    ::testing::Values(Delivery{"ByteBySegment", ByteBySegment},
                      Delivery{"RecordPerLineManyToASegment", RecordsInOneSegment}),
    [](const ::testing::TestParamInfo<Delivery>& info) { return std::string(info.param.name); });

} // namespace
