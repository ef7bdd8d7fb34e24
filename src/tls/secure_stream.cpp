#include "tls/secure_stream.h"

#include <memory>
#include <new>
#include <set>

#include "diag/handles.h"
#include "net/helper_thread.h"

namespace {

// A TLS record is at most 5 bytes of header and 16384 + 2048 of payload;
// one receive of this size takes a whole one.
const size_t RecordBufferBytes = 5 + 16384 + 2048;

// The certificate check runs on a helper thread: its first run in a process
// takes a third of a second under Wine, and a stop must not wait for it.
// The keys (accounts) whose check still runs, in the whole process: a check
// abandoned at its deadline may hang for good, and a new attempt must not
// start a second one beside it.
SRWLOCK RunningChecksLock = SRWLOCK_INIT;
std::set<std::string>* RunningChecks = nullptr; // made at the first key, never freed

// Takes the key for a new check; false while a check for it still runs.
// Whatever allocates is done outside the lock: an exception may leave here,
// never from under the lock.
bool TakeCheckKey(const std::string& key)
{
    if (key.empty())
        return true;
    std::set<std::string> made;
    made.insert(key);
    std::set<std::string>::node_type node = made.extract(made.begin());
    bool first = false;
    {
        SharedLock look(RunningChecksLock);
        first = RunningChecks == nullptr;
    }
    std::unique_ptr<std::set<std::string>> spare(first ? new std::set<std::string> : nullptr);
    // Keeps the node when the key is taken already: it is freed after the lock.
    std::set<std::string>::insert_return_type result;
    {
        ExclusiveLock hold(RunningChecksLock);
        if (RunningChecks == nullptr)
            RunningChecks = spare.release();
        result = RunningChecks->insert(std::move(node));
    }
    return result.inserted;
}

void GiveBackCheckKey(const std::string& key)
{
    if (key.empty())
        return;
    ExclusiveLock hold(RunningChecksLock);
    if (RunningChecks != nullptr)
        RunningChecks->erase(key);
}

struct CheckWork {
    PCCERT_CONTEXT leaf = NULL;
    std::string server;
    std::string pin;
    std::string key; // held from the start of the check until it has finished
    CertReport report;

    ~CheckWork()
    {
        if (leaf != NULL)
            CertFreeCertificateContext(leaf);
        GiveBackCheckKey(key);
    }
};

void RunCheck(void* context)
{
    CheckWork* check = static_cast<CheckWork*>(context);
    check->report = CheckServerCertificate(check->leaf, check->server.c_str(), check->pin.c_str());
}

void DisposeCheck(void* context)
{
    delete static_cast<CheckWork*>(context);
}

// Checks the certificate on a helper thread (it takes the leaf), waiting for
// it, the stop, a message or the deadline.
SecureEnd CheckCertificate(PCCERT_CONTEXT leaf, const SecureTarget& target, const WaitControl& control,
                           const Tracer& tracer, CertReport* report)
{
    // Out of memory here leaves by bad_alloc, as anywhere in an attempt: the
    // worker ends the attempt for it. The leaf is freed on every way out.
    std::unique_ptr<CheckWork> owned(new (std::nothrow) CheckWork);
    if (!owned) {
        CertFreeCertificateContext(leaf);
        throw std::bad_alloc();
    }
    owned->leaf = leaf;
    owned->server = target.server;
    owned->pin = target.pin;
    std::string key = target.checkKey;
    if (!TakeCheckKey(key)) {
        TraceTo(tracer, "certificate check still running");
        return SecureCheckLate;
    }
    owned->key.swap(key); // given back when the work is freed, by whichever thread lets go last
    CheckWork* check = owned.release();
    HelperCall call;
    if (!call.Start(HelperWork{check, RunCheck, DisposeCheck}))
        return SecureHandshakeFailed;
    DWORD started = GetTickCount();
    HelperWaitEnd end = call.Wait(control.stop, control.serveMessages, target.checkDeadlineMs);
    TraceTo(tracer, "certificate check took %u ms", static_cast<unsigned>(GetTickCount() - started));
    switch (end) {
    case HelperLate:
        return SecureCheckLate; // the helper finishes on its own, and gives the key back then
    case HelperDone:
        *report = check->report;
        return SecureMade;
    case HelperStopped:
        return SecureStopped;
    case HelperMessage:
        return SecureMessage;
    case HelperFailed:
        break;
    }
    return SecureHandshakeFailed; // the helper finishes on its own
}

const char* VerdictName(CertVerdict verdict)
{
    switch (verdict) {
    case CertAccepted:
        return "accepted";
    case CertPinMismatch:
        return "not the pinned certificate";
    case CertUntrusted:
        return "untrusted";
    case CertNameMismatch:
        return "name mismatch";
    case CertExpired:
        return "expired";
    case CertPinInvalid:
        return "tlsFingerprint invalid";
    case CertRevoked:
        return "revoked";
    }
    return "?";
}

SecureEnd EndOf(BytesEnd end)
{
    return end == BytesStop ? SecureStopped : end == BytesMessage ? SecureMessage : SecureHandshakeFailed;
}

} // namespace

SecureStream::SecureStream(Connection* connection, const Tracer& tracer) : ByteStream(connection, tracer) {}

SecureStream::~SecureStream()
{
    // Nothing is sent, close_notify included: closing the socket is enough.
    TlsReset(&channel_);
}

const char* SecureStream::Peek(size_t* count)
{
    *count = TlsUnread(&channel_);
    return *count == 0 ? nullptr : channel_.plainIn.data() + channel_.plainPos;
}

void SecureStream::Consume(size_t count)
{
    size_t unread = TlsUnread(&channel_);
    channel_.plainPos += count < unread ? count : unread;
    if (channel_.plainPos == channel_.plainIn.size()) {
        channel_.plainIn.clear();
        channel_.plainPos = 0;
    }
}

bool SecureStream::SendTokens()
{
    if (channel_.toSend.empty())
        return true;
    std::string tokens;
    tokens.swap(channel_.toSend);
    if (SendAll(&connection(), tokens.data(), tokens.size()))
        return true;
    TraceTo(tracer(), "send error(%d)", WSAGetLastError());
    return false;
}

PullResult SecureStream::Pull()
{
    if (channel_.closed)
        return PullClosed;
    int count = ReceiveSome(&connection(), records_.data(), static_cast<int>(records_.size()), tracer());
    if (count <= 0)
        return count == 0 ? PullClosed : count == -1 ? PullNone : PullFailed;
    TlsStep step = TlsReceive(&channel_, records_.data(), static_cast<size_t>(count));
    // Answers to the server's requests for a new handshake go out at once.
    if (!SendTokens())
        return PullFailed;
    if (step == TlsFailed) {
        TraceTo(tracer(), "TLS error(%x)", static_cast<unsigned>(channel_.lastStatus));
        return PullFailed;
    }
    if (step == TlsClosed)
        connection().peerClosed = true;
    return PullSome;
}

bool SecureStream::Send(const char* bytes, size_t count)
{
    std::string sealed;
    if (!TlsSeal(&channel_, bytes, count, &sealed)) {
        TraceTo(tracer(), "TLS error(%x)", static_cast<unsigned>(channel_.lastStatus));
        TraceTo(tracer(), "send error(%d)", WSAECONNABORTED);
        return false;
    }
    if (SendAll(&connection(), sealed.data(), sealed.size()))
        return true;
    TraceTo(tracer(), "send error(%d)", WSAGetLastError());
    return false;
}

SecureEnd SecureStream::Handshake(PlainStream* plain, const SecureTarget& target, const WaitControl& control)
{
    TlsStep step = TlsNeedMore;
    ByteWait wait;
    wait.timeoutMs = target.responseTimeoutMs;
    for (;;) {
        if (!SendTokens())
            return SecureHandshakeFailed;
        if (step == TlsDone)
            return SecureMade;
        BytesEnd waited = WaitForBytes(*plain, control, wait);
        if (waited != BytesReady)
            return EndOf(waited);
        size_t count = 0;
        const char* bytes = plain->Peek(&count);
        step = TlsHandshake(&channel_, bytes, count);
        plain->Consume(count);
        if (step == TlsFailed || step == TlsClosed) {
            TraceTo(tracer(), "TLS error(%x)", static_cast<unsigned>(channel_.lastStatus));
            return SecureHandshakeFailed;
        }
    }
}

bool SecureStream::LinesWaiting()
{
    return BytesWaiting(&connection(), false);
}

SecureOutcome MakeSecure(PlainStream* plain, const SecureTarget& target, const WaitControl& control)
{
    SecureOutcome outcome;
    const Tracer& tracer = plain->tracer();
    plain->Discard();
    std::unique_ptr<SecureStream> stream(new SecureStream(&plain->connection(), tracer));
    stream->records_.resize(RecordBufferBytes);
    TlsChannel& channel = stream->channel_;
    if (!TlsBegin(&channel, SystemSspi(), target.server.c_str())) {
        TraceTo(tracer, "TLS error(%x)", static_cast<unsigned>(channel.lastStatus));
        return outcome;
    }
    SecureEnd shaken = stream->Handshake(plain, target, control);
    if (shaken != SecureMade) {
        outcome.end = shaken;
        return outcome;
    }
    TraceTo(tracer, "TLS handshake(%s,%s)", channel.protocol.c_str(), channel.cipher.c_str());

    PCCERT_CONTEXT leaf = TlsServerCertificate(&channel);
    if (leaf == NULL) {
        TraceTo(tracer, "certificate missing");
        return outcome;
    }
    CertReport report;
    SecureEnd checked = CheckCertificate(leaf, target, control, tracer, &report);
    if (checked != SecureMade) {
        outcome.end = checked;
        return outcome;
    }
    TraceTo(tracer, "certificate subject(%s)", report.subject.c_str());
    TraceTo(tracer, "certificate issuer(%s)", report.issuer.c_str());
    TraceTo(tracer, "certificate sha256(%s)", report.fingerprint.c_str());
    for (const std::string& url : report.aiaUrls)
        TraceTo(tracer, "certificate aia(%s)", url.c_str());
    for (const std::string& url : report.crlUrls)
        TraceTo(tracer, "certificate crl(%s)", url.c_str());
    if (report.revocationUnknown)
        TraceTo(tracer, "revocation unknown");
    TraceTo(tracer, "certificate %s", VerdictName(report.verdict));
    outcome.checked = true;
    outcome.report = report;
    if (report.verdict != CertAccepted) {
        outcome.end = SecureRefused;
        return outcome;
    }
    outcome.end = SecureMade;
    outcome.stream = std::move(stream);
    return outcome;
}
