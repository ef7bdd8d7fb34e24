#include "watch/attempt.h"

#include <memory>
#include <string>
#include <vector>

#include "tls/secure_stream.h"
#include "watch/outcome.h"

// New mail is recognised in five ways only: a "* n RECENT" with n of 1 or
// more in the SELECT response; a "* n EXISTS" between IDLE and its
// continuation; once on reaching IDLE after a connect, when recvAtConnected
// asks for it and no mail was told on the way; a "* n EXISTS" while idling
// or while IDLE is renewed; and, on a server without IDLE, a message count
// that grew from one poll to the next. The first three are here, the others
// in listen.cpp.
//
// A stop ends the dialogue at the next wait: nothing more is sent or
// announced, and the worker closes the connection on its way out. A thread
// message (new settings) ends an attempt under way the same way, without a
// failure; the worker serves it, and the next attempt comes at once.

namespace {

const DWORD GreetingTimeoutMs = 20000;
// Lookup and connect failures pause a second more from this one in a row on,
// as a connection that was made and closed does.
const uint32_t UnreachablePausedFrom = 3;

// What the server says unasked, by what it means just now.

void OnExists(void* owner, int count)
{
    Session* session = static_cast<Session*>(owner);
    switch (session->meaning) {
    case MeaningSelect:
        session->messageCount = count;
        break;
    case MeaningIdle:
        NotifyMail(session);
        session->mailToldOnTheWay = true;
        break;
    case MeaningPolling:
        // A count that grew is new mail, also after a deletion.
        if (count > session->messageCount)
            NotifyMail(session);
        session->messageCount = count;
        break;
    case MeaningNothing:
        break;
    }
}

void OnExpunge(void* owner, int)
{
    Session* session = static_cast<Session*>(owner);
    if (session->meaning == MeaningPolling && session->messageCount > 0)
        --session->messageCount;
}

void OnRecent(void* owner, int count)
{
    Session* session = static_cast<Session*>(owner);
    if (session->meaning == MeaningSelect && count >= 1) {
        NotifyMail(session);
        session->mailToldOnTheWay = true;
    }
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
    case CertRevoked:
        return ReasonCertRevoked;
    }
    return ReasonCertUntrusted;
}

// What the box may tell of the certificate that was checked.
void KeepCertificateFacts(Session* session, const CertReport& report)
{
    ConnectFailure& failure = session->failure;
    failure.fingerprint = report.fingerprint;
    failure.subject = report.subject;
    failure.issuer = report.issuer;
    failure.names.clear();
    for (const std::string& name : report.names) {
        if (!failure.names.empty())
            failure.names += ", ";
        failure.names += name;
    }
    failure.validFrom = (static_cast<uint64_t>(report.notBefore.dwHighDateTime) << 32) | report.notBefore.dwLowDateTime;
    failure.validTo = (static_cast<uint64_t>(report.notAfter.dwHighDateTime) << 32) | report.notAfter.dwLowDateTime;
}

// The handshake and the certificate check; the client speaks over the
// secure stream from then on. False when the attempt ended.
bool SecureConnection(Session* session)
{
    SecureTarget target;
    target.server = session->settings.server;
    target.pin = session->settings.tlsFingerprint;
    target.responseTimeoutMs = ResponseTimeoutMs(session);
    target.checkKey = session->checkKey;
    SecureOutcome outcome = MakeSecure(session->plain.get(), target, ControlOf(session));
    if (outcome.checked)
        KeepCertificateFacts(session, outcome.report);
    switch (outcome.end) {
    case SecureMade:
        session->secure = std::move(outcome.stream);
        SwitchStream(&session->client, session->secure.get());
        return true;
    case SecureStopped:
    case SecureMessage:
        Abandon(session);
        return false;
    case SecureRefused:
        FailSecurity(session, ReasonOf(outcome.report.verdict));
        return false;
    case SecureCheckLate:
        FailSecurity(session, ReasonCertCheckLate);
        return false;
    case SecureHandshakeFailed:
        break;
    }
    FailSecurity(session, ReasonTls);
    return false;
}

// STARTTLS on a plain connection whose greeting was `greeting`; then the
// capabilities learnt afresh over the encrypted connection. False when the
// attempt ended; it never goes on in the clear.
bool UpgradeConnection(Session* session, const Greeting& greeting, std::vector<std::string>* names)
{
    // A server that claims the login already happened would skip the
    // encryption altogether.
    if (greeting.preauth) {
        FailSecurity(session, ReasonTls);
        return false;
    }
    ClientEnd end = ClientDone;
    if (!greeting.listed)
        end = RequestCapabilities(&session->client, names);
    if (end != ClientDone) {
        FailAttempt(session, end);
        return false;
    }
    if (!HasCapability(*names, "STARTTLS")) {
        Trace(session, "STARTTLS not offered");
        FailSecurity(session, ReasonTls);
        return false;
    }
    end = RequestStartTls(&session->client);
    if (end == ClientRefused) {
        FailSecurity(session, ReasonTls);
        return false;
    }
    if (end != ClientDone) {
        FailAttempt(session, end);
        return false;
    }
    if (!SecureConnection(session))
        return false;
    // What the server said in the clear may have been anybody's.
    end = RequestCapabilities(&session->client, names);
    if (end != ClientDone) {
        FailAttempt(session, end);
        return false;
    }
    return true;
}

// The settings' user off until new settings arrive: no further login. The
// user is asked for the password.
void StopLoggingIn(Session* session)
{
    {
        ExclusiveLock hold(session->settingsLock);
        session->settings.use = 0;
    }
    LoginRefused(&session->policy, NowMs());
    PublishStatus(session);
    session->events.loginFailed(session->events.owner);
}

void RefuseLogin(Session* session)
{
    CloseConnection(session);
    StopLoggingIn(session);
}

// LOGIN with the session's user and password. False when the attempt ended.
bool LogIn(Session* session, std::vector<std::string>* afterLogin, bool* listed)
{
    // The password goes out in the clear only where the settings ask for a
    // plain connection; otherwise only over the secure stream, which exists
    // only once the certificate has been accepted.
    if (session->settings.tls != 0 && session->client.stream != session->secure.get()) {
        Trace(session, "no login over an unverified connection");
        Fail(session, FailureTold, ReasonTls);
        return false;
    }
    LoginAnswer answer = LoginRejected;
    ClientEnd end = Login(&session->client, session->settings.user, session->settings.pass, &answer, afterLogin,
                          listed);
    if (end != ClientDone) {
        // Without an answer the server may have logged in by now: the
        // connection goes, like after every other failure.
        FailAttempt(session, end);
        return false;
    }
    switch (answer) {
    case LoginAccepted:
        return true;
    case LoginRefusedForNow:
        // The server cannot take the login now; the password may well be
        // right. Try again later, without a box.
        Trace(session, "login refused for now");
        Fail(session, FailureQuiet, ReasonNone);
        return false;
    case LoginNeedsEncryption:
        FailSecurity(session, ReasonLoginDisabled);
        return false;
    case LoginRejected:
        break;
    }
    RefuseLogin(session);
    return false;
}

// IDLE or polling is reached after a connect.
void ReachSession(Session* session, bool polling)
{
    if (session->events.idleReached != NULL)
        session->events.idleReached(session->events.owner);
    uint64_t now = NowMs();
    if (SessionReached(&session->policy, polling, session->settings.recvAtConnected != 0,
                       session->mailToldOnTheWay, now))
        NotifyMail(session);
    PublishStatus(session);
    StartLinkChecks(&session->links);
    if (polling) {
        Trace(session, "NOOP mode");
        session->meaning = MeaningPolling;
        session->lastPollMs = now;
        return;
    }
    Trace(session, "IDLE mode");
    session->meaning = MeaningIdle;
    session->idleSinceMs = now;
    session->partialHeldSinceMs = 0;
}

// The client of a new connection, over its plain stream.
void PrepareClient(Session* session)
{
    ImapClient& client = session->client;
    client.control = ControlOf(session);
    client.tracer = TracerOf(session);
    client.responseTimeoutMs = ResponseTimeoutMs(session);
    client.unasked.owner = session;
    client.unasked.exists = OnExists;
    client.unasked.expunge = OnExpunge;
    client.unasked.recent = OnRecent;
    client.beforeBlocking = BeforeBlocking;
    client.blockingOwner = session;
    session->meaning = MeaningNothing;
    session->mailToldOnTheWay = false;
    BeginClient(&client, session->plain.get());
}

// What is known before the login: the server's capabilities (*listed when
// it told them) and whether it logged the client in already.
struct BeforeLogin {
    std::vector<std::string> capabilities;
    bool listed = false;
    bool preauthenticated = false;
};

// TLS as the settings ask, the greeting, and the capabilities the login
// depends on. False when the attempt ended.
bool GreetAndSecure(Session* session, BeforeLogin* known)
{
    const int tls = session->settings.tls;
    if (tls == 1 && !SecureConnection(session))
        return false;
    Greeting greeting;
    ClientEnd end = ReadGreeting(&session->client, GreetingTimeoutMs, &greeting);
    if (end != ClientDone) {
        FailAttempt(session, end);
        return false;
    }
    if (greeting.bye) {
        // The server said goodbye: no login to a server that is going.
        Fail(session, FailureTold, ReasonNone);
        return false;
    }
    known->capabilities = greeting.capabilities;
    known->listed = greeting.listed;
    known->preauthenticated = greeting.preauth;
    if (tls == 2) {
        if (!UpgradeConnection(session, greeting, &known->capabilities))
            return false;
        known->listed = true;
        known->preauthenticated = false;
    } else if (!known->listed && !known->preauthenticated) {
        // Whether the server takes LOGIN at all is asked before the
        // password goes out; in the clear, LOGINDISABLED must keep it back.
        end = RequestCapabilities(&session->client, &known->capabilities);
        if (end != ClientDone) {
            FailAttempt(session, end);
            return false;
        }
        known->listed = true;
    }
    return true;
}

// SELECT INBOX, then IDLE up to its continuation where the server has it;
// IDLE or polling is reached.
void SelectAndIdle(Session* session, bool idleUnlisted)
{
    session->meaning = MeaningSelect;
    session->messageCount = 0;
    ClientEnd end = SelectInbox(&session->client);
    if (end != ClientDone) {
        FailAttempt(session, end);
        return;
    }
    bool polling = idleUnlisted;
    if (!idleUnlisted) {
        // An EXISTS before the continuation is mail; a completion of IDLE
        // means the server will not idle.
        session->meaning = MeaningIdle;
        end = StartIdle(&session->client, ResponseTimeoutMs(session));
        if (end == ClientRefused) {
            polling = true;
        } else if (end != ClientDone) {
            FailAttempt(session, end);
            return;
        }
    }
    ReachSession(session, polling);
}

// A connection test's end of the dialogue, once logged in: SELECT INBOX,
// the capabilities after the login (asked for when the login did not list
// them), then LOGOUT instead of IDLE. Nothing is sent after LOGOUT's answer.
void EndTestDialogue(Session* session, bool listedAfterLogin, std::vector<std::string> capabilities)
{
    session->meaning = MeaningSelect;
    ClientEnd end = SelectInbox(&session->client);
    if (end == ClientDone && !listedAfterLogin)
        end = RequestCapabilities(&session->client, &capabilities);
    if (end != ClientDone) {
        FailAttempt(session, end);
        return;
    }
    TestReached& reached = session->reached;
    reached.selected = true;
    reached.idle = HasCapability(capabilities, "IDLE");
    reached.protocol = session->client.stream == session->secure.get() ? session->secure->protocol() : "";
    // What the test wanted to know is known: LOGOUT's answer is waited for
    // as any other, but changes nothing.
    if (SendCommand(&session->client, "LOGOUT") == ClientDone)
        AwaitCompletion(&session->client, ResponseTimeoutMs(session));
    CloseQuietly(session);
}

// The dialogue of a new connection, up to IDLE or polling.
void RunDialogue(Session* session)
{
    PrepareClient(session);
    BeforeLogin known;
    if (!GreetAndSecure(session, &known))
        return;
    BeginLogin(&session->policy, NowMs());
    PublishStatus(session);
    std::vector<std::string> afterLogin;
    bool listedAfterLogin = false;
    if (known.preauthenticated) {
        Trace(session, "PREAUTH");
    } else if (known.listed && HasCapability(known.capabilities, "LOGINDISABLED")) {
        // The password must not go out where the server refuses it; that is
        // no wrong password, and the watcher stays on.
        FailSecurity(session, ReasonLoginDisabled);
        return;
    } else if (!LogIn(session, &afterLogin, &listedAfterLogin)) {
        return;
    }
    if (session->purpose == PurposeTest) {
        EndTestDialogue(session, listedAfterLogin, afterLogin);
        return;
    }
    // IDLE is judged by the capabilities after the login, which servers
    // often extend; where they are not told, IDLE is tried.
    SelectAndIdle(session, listedAfterLogin && !HasCapability(afterLogin, "IDLE"));
}

} // namespace

void Attempt(Session* session)
{
    session->failure = ConnectFailure();
    if (session->events.beforeAttempt != NULL)
        session->events.beforeAttempt(session->events.owner);
    BeginAttempt(&session->policy, NowMs());
    PublishStatus(session);
    if (session->settings.tls < 0 || session->settings.tls > 2) {
        // Never a silent fall back to plain text: no connection, and the
        // user is told at once what to correct.
        Trace(session, "tls setting error(%d)", session->settings.tls);
        session->failure.reason = ReasonTlsSetting;
        FailureRecord record;
        record.reason = ReasonTlsSetting;
        record.atMs = NowMs();
        CountFailure(session, FailureTold, record);
        return;
    }
    if (session->settings.passState == PasswordUnreadable) {
        // The file's password was encrypted for another Windows user or on
        // another PC: nothing to log in with, and no use connecting. The
        // user types it again, as after a rejected login.
        Trace(session, "stored password cannot be decrypted");
        StopLoggingIn(session);
        return;
    }
    ConnectTarget target;
    target.server = session->settings.server;
    target.port = session->settings.port;
    target.keepAliveSeconds = session->settings.keepAlive;
    int error = 0;
    ConnectEnd connected = Connect(&session->connection, target, ControlOf(session), TracerOf(session), &error);
    if (connected == ConnectStopped || connected == ConnectMessage)
        return; // no failure of the server: neither counted nor paused for
    if (connected == ConnectFailed) {
        // From the third in a row on, each pauses and tells the user (while
        // a notice is pending).
        FailureRecord record;
        record.atMs = NowMs();
        if (session->policy.unreachableInRow + 1 >= UnreachablePausedFrom) {
            Pause(ControlOf(session), ClosePauseMs);
            record.atMs = NowMs();
        }
        CountFailure(session, FailureUnreachable, record);
        return;
    }
    ConnectionMade(&session->policy);
    session->plain.reset(new PlainStream(&session->connection, TracerOf(session)));
    RunDialogue(session);
}
