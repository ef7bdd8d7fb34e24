// The TLS handshake on a connected socket and the check of the server's
// certificate: the part of the transport that makes a connection encrypted.
#include <string.h>

#include <new>
#include <string>

#include "imap/certcheck.h"
#include "imap/command.h"
#include "imap/helper_thread.h"
#include "imap/session.h"
#include "imap/transport.h"

namespace {

// The certificate check runs on a helper thread: its first run in a process
// takes a third of a second under Wine, and a stop must not wait for it.
struct CheckWork {
    PCCERT_CONTEXT leaf = NULL;
    std::string server;
    std::string pin;
    CertReport report;

    ~CheckWork()
    {
        if (leaf != NULL)
            CertFreeCertificateContext(leaf);
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

// Checks the certificate on a helper thread, waiting for it or the stop.
// False when the check could not be run or a stop ended the wait.
bool CheckCertificate(Session* session, PCCERT_CONTEXT leaf, CertReport* report)
{
    CheckWork* check = new (std::nothrow) CheckWork;
    if (check == NULL) {
        CertFreeCertificateContext(leaf);
        return false;
    }
    check->leaf = leaf;
    try {
        check->server = session->settings.server;
        check->pin = session->settings.tlsFingerprint;
    } catch (...) {
        delete check;
        return false;
    }
    HelperCall call;
    if (!call.Start(HelperWork{check, RunCheck, DisposeCheck}))
        return false;
    // The stop ends the wait, and so does a thread message (new settings):
    // the check is then abandoned with the attempt.
    HelperWaitEnd end = call.Wait(session->stopEvent.Get(), true);
    if (end == HelperMessage)
        session->interrupted = true;
    if (end != HelperDone)
        return false; // the helper finishes on its own
    *report = check->report;
    return true;
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
    }
    return "?";
}

ConnectFailReason ReasonOf(CertVerdict verdict)
{
    switch (verdict) {
    case CertAccepted:
        return ReasonNone;
    case CertPinMismatch:
        return ReasonPinMismatch;
    case CertUntrusted:
        return ReasonCertUntrusted;
    case CertNameMismatch:
        return ReasonCertName;
    case CertExpired:
        return ReasonCertExpired;
    case CertPinInvalid:
        return ReasonPinSetting;
    }
    return ReasonCertUntrusted;
}

} // namespace

ConnectFailReason StartTls(Session* session)
{
    TlsChannel& tls = session->tls;
    // Bytes read before the handshake are no part of it: on a STARTTLS
    // connection they came in the clear, and anyone could have put them
    // there.
    session->received.pos = 0;
    session->received.len = 0;
    DropPartialLine(session);
    if (!TlsBegin(&tls, SystemSspi(), session->settings.server)) {
        Trace(session, "TLS error(%x)", static_cast<unsigned>(tls.lastStatus));
        return ReasonTls;
    }
    TlsStep step = TlsNeedMore;
    for (;;) {
        if (!SendTlsTokens(session))
            return ReasonTls;
        if (step == TlsDone)
            break;
        int waited = WaitForData(session, ResponseTimeoutMs(session));
        if (AttemptAbandoned(session))
            return ReasonNone;
        if (waited != WaitData || !HasUnreadByte(session))
            return ReasonTls;
        ReceiveBuffer& received = session->received;
        step = TlsHandshake(&tls, received.bytes + received.pos, static_cast<size_t>(received.len - received.pos));
        received.pos = 0;
        received.len = 0;
        if (step == TlsFailed || step == TlsClosed) {
            Trace(session, "TLS error(%x)", static_cast<unsigned>(tls.lastStatus));
            return ReasonTls;
        }
    }
    session->tlsActive = true;
    Trace(session, "TLS handshake(%s,%s)", tls.protocol.c_str(), tls.cipher.c_str());

    PCCERT_CONTEXT leaf = TlsServerCertificate(&tls);
    if (leaf == NULL) {
        Trace(session, "certificate missing");
        return ReasonTls;
    }
    CertReport report;
    if (!CheckCertificate(session, leaf, &report))
        return AttemptAbandoned(session) ? ReasonNone : ReasonTls;
    Trace(session, "certificate subject(%s)", report.subject.c_str());
    Trace(session, "certificate issuer(%s)", report.issuer.c_str());
    Trace(session, "certificate sha256(%s)", report.fingerprint.c_str());
    Trace(session, "certificate %s", VerdictName(report.verdict));
    session->failure.fingerprint = report.fingerprint;
    // Only this marks the connection fit for the login: "encrypted" alone is
    // not enough.
    session->certificateAccepted = report.verdict == CertAccepted;
    return ReasonOf(report.verdict);
}

bool SendTlsTokens(Session* session)
{
    TlsChannel& tls = session->tls;
    if (tls.toSend.empty())
        return true;
    std::string tokens;
    tokens.swap(tls.toSend);
    if (send(session->sock.Get(), tokens.data(), static_cast<int>(tokens.size()), 0) ==
        static_cast<int>(tokens.size()))
        return true;
    Trace(session, "send error(%d)", WSAGetLastError());
    return false;
}
