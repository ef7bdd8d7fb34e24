#include "watch/session.h"

#include <stdarg.h>
#include <string.h>

#include <string>
#include <vector>

#include "diag/trace.h"

// New mail is recognised in five ways only: a "* n RECENT" with n of 1 or
// more in the SELECT response; a "* n EXISTS" between IDLE and its
// continuation; once on reaching IDLE after a connect, when recvAtConnected
// asks for it and no mail was told on the way; a "* n EXISTS" while idling
// or while IDLE is renewed; and, on a server without IDLE, a message count
// that grew from one poll to the next.
//
// A stop ends the dialogue at the next wait: nothing more is sent or
// announced, and the worker closes the connection on its way out. A thread
// message (new settings) ends an attempt under way the same way, without a
// failure; the worker serves it, and the next attempt comes at once.

namespace {

const DWORD GreetingTimeoutMs = 20000;
// The answers of a connection check never wait without limit.
const DWORD CheckTimeoutMs = 20000;
const DWORD ClosePauseMs = 1000;
const DWORD LongestPollMs = 2 * 60 * 1000;
const DWORD ShortestPollMs = 1000;
// Lookup and connect failures pause a second more from this one in a row on,
// as a connection that was made and closed does.
const uint32_t UnreachablePausedFrom = 3;

uint64_t NowMs()
{
    return GetTickCount64();
}

Tracer TracerOf(Session* session)
{
    Tracer tracer;
    tracer.serial = session->serial;
    tracer.debug = &session->settings.debug;
    return tracer;
}

WaitControl ControlOf(Session* session)
{
    WaitControl control;
    control.stop = session->stopEvent.Get();
    control.serveMessages = true;
    return control;
}

DWORD ResponseTimeoutMs(const Session* session)
{
    return static_cast<DWORD>(session->settings.recvTimeout) * 1000u;
}

// refreshTime minutes as a 32-bit product, compared unsigned.
DWORD RenewAfterMs(const Session* session)
{
    return static_cast<DWORD>(session->settings.refreshTime) * 60000u;
}

DWORD PollEveryMs(const Session* session)
{
    DWORD every = RenewAfterMs(session);
    if (every > LongestPollMs)
        every = LongestPollMs;
    if (every < ShortestPollMs)
        every = ShortestPollMs;
    return every;
}

// The status that other threads read, taken from the policy now.
void PublishStatus(Session* session)
{
    uint64_t now = NowMs();
    FILETIME utc;
    GetSystemTimeAsFileTime(&utc);
    ULARGE_INTEGER nowTime;
    nowTime.LowPart = utc.dwLowDateTime;
    nowTime.HighPart = utc.dwHighDateTime;
    const WatchPolicy& policy = session->policy;
    // Milliseconds of the tick count as 100 ns units of the system time.
    ULARGE_INTEGER since;
    since.QuadPart = nowTime.QuadPart - (now - policy.enteredAtMs) * 10000u;
    ULARGE_INTEGER next;
    next.QuadPart = nowTime.QuadPart + UntilNextAttemptMs(policy, now) * 10000ull;
    WatcherStatus status;
    status.state = policy.state;
    status.since.dwLowDateTime = since.LowPart;
    status.since.dwHighDateTime = since.HighPart;
    status.nextAttempt.dwLowDateTime = next.LowPart;
    status.nextAttempt.dwHighDateTime = next.HighPart;
    status.pollMinutes = static_cast<int>(PollEveryMs(session) / 60000u);
    status.failed = policy.lastFailure.happened;
    status.lastFailure.reason = policy.lastFailure.reason;
    status.lastFailure.fingerprint = policy.lastFailure.fingerprint;
    // Made outside the lock and swapped in: the other thread never waits
    // for an allocation here.
    ExclusiveLock hold(session->statusLock);
    std::swap(session->status, status);
}

// ---- notices ----------------------------------------------------------------

void NotifyMail(Session* session)
{
    // Told before the worker next waits: lines already received are read
    // first, so that a burst is one notice however slowly it is read.
    session->mailPending = true;
}

void TellPendingMail(Session* session)
{
    if (!session->mailPending)
        return;
    session->mailPending = false;
    if (StopRequested(session))
        return;
    session->events.mailArrived(session->events.owner);
}

// Just before a wait blocks: mail read so far is told, unless more complete
// lines are already here to be read first.
void BeforeBlocking(void* owner)
{
    Session* session = static_cast<Session*>(owner);
    if (session->mailPending && !(session->client.stream != nullptr && session->client.stream->LinesWaiting()))
        TellPendingMail(session);
}

void TellConnectFailed(Session* session)
{
    session->events.connectFailed(session->events.owner, session->failure);
}

// ---- what the server says unasked -------------------------------------------

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

// ---- closing, failing ---------------------------------------------------------

void DropStreams(Session* session)
{
    session->client.stream = nullptr;
    session->secure.reset();
    session->plain.reset();
}

// Closes without the pause: the attempt was abandoned for the stop or a
// message, which the worker serves at once.
void CloseQuietly(Session* session)
{
    TellPendingMail(session);
    DropStreams(session);
    Disconnect(&session->connection, TracerOf(session));
}

// The attempt failed, or the session was lost: the connection closes (with
// its pause), the failure is counted, and the user told when the policy says
// so. `reason` adds to what the box says.
void Fail(Session* session, FailureKind kind, ConnectFailReason reason)
{
    if (reason != ReasonNone)
        session->failure.reason = reason;
    CloseConnection(session);
    if (StopRequested(session))
        return;
    FailureRecord record;
    record.reason = session->failure.reason;
    record.fingerprint = session->failure.fingerprint;
    record.atMs = NowMs();
    FailureDecision decision = AttemptFailed(&session->policy, kind, record);
    if (decision.tell)
        TellConnectFailed(session);
    Trace(session, "retry in %u ms", static_cast<unsigned>(decision.waitMs));
    PublishStatus(session);
}

// A connection that cannot be made secure, or may not carry the login: the
// user is told at once why (a refused certificate once for each
// certificate), and the connection closes before anything more is sent.
void FailSecurity(Session* session, ConnectFailReason reason)
{
    Trace(session, "secure connection failed(%d)", static_cast<int>(reason));
    Fail(session, IsCertificateRefusal(reason) ? FailureCertificate : FailureTold, reason);
}

// A session that was running is lost: nobody is told, the count goes on.
void LoseSession(Session* session)
{
    Fail(session, FailureQuiet, ReasonNone);
}

// The attempt ended other than by a failure of the server: the stop, or a
// message the worker must serve first.
void Abandon(Session* session)
{
    CloseQuietly(session);
}

// A failed command of the dialogue up to IDLE, by how it ended.
void FailAttempt(Session* session, ClientEnd end)
{
    if (end == ClientStopped || end == ClientMessage)
        Abandon(session);
    else
        Fail(session, FailureTold, ReasonNone);
}

// ---- the dialogue up to IDLE --------------------------------------------------

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

// The handshake and the certificate check; the client speaks over the
// secure stream from then on. False when the attempt ended.
bool SecureConnection(Session* session)
{
    SecureTarget target;
    target.server = session->settings.server;
    target.pin = session->settings.tlsFingerprint;
    target.responseTimeoutMs = ResponseTimeoutMs(session);
    SecureOutcome outcome = MakeSecure(session->plain.get(), target, ControlOf(session));
    if (outcome.checked)
        session->failure.fingerprint = outcome.report.fingerprint;
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

// The settings' user off until new settings arrive: no further login.
void RefuseLogin(Session* session)
{
    CloseConnection(session);
    {
        ExclusiveLock hold(session->settingsLock);
        session->settings.use = 0;
    }
    LoginRefused(&session->policy, NowMs());
    PublishStatus(session);
    session->events.loginFailed(session->events.owner);
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

// The dialogue of a new connection, up to IDLE or polling.
void RunDialogue(Session* session)
{
    const int tls = session->settings.tls;
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

    if (tls == 1 && !SecureConnection(session))
        return;
    Greeting greeting;
    ClientEnd end = ReadGreeting(&client, GreetingTimeoutMs, &greeting);
    if (end != ClientDone) {
        FailAttempt(session, end);
        return;
    }
    if (greeting.bye) {
        // The server said goodbye: no login to a server that is going.
        Fail(session, FailureTold, ReasonNone);
        return;
    }
    // Plain sessions read only a capability code in the greeting and send
    // nothing more than the login.
    std::vector<std::string> capabilities = greeting.capabilities;
    bool listed = greeting.listed;
    bool preauthenticated = greeting.preauth;
    if (tls == 2) {
        if (!UpgradeConnection(session, greeting, &capabilities))
            return;
        listed = true;
        preauthenticated = false;
    } else if (tls == 1 && !listed && !preauthenticated) {
        end = RequestCapabilities(&client, &capabilities);
        if (end != ClientDone) {
            FailAttempt(session, end);
            return;
        }
        listed = true;
    }
    BeginLogin(&session->policy, NowMs());
    PublishStatus(session);
    std::vector<std::string> afterLogin;
    bool listedAfterLogin = false;
    if (preauthenticated) {
        Trace(session, "PREAUTH");
    } else if (listed && HasCapability(capabilities, "LOGINDISABLED")) {
        // The password must not go out where the server refuses it; that is
        // no wrong password, and the watcher stays on.
        FailSecurity(session, ReasonLoginDisabled);
        return;
    } else if (!LogIn(session, &afterLogin, &listedAfterLogin)) {
        return;
    }
    // IDLE is judged by the capabilities after the login, which servers
    // often extend; where they are not told, IDLE is tried.
    bool idleUnlisted = listedAfterLogin && !HasCapability(afterLogin, "IDLE");

    session->meaning = MeaningSelect;
    session->messageCount = 0;
    end = SelectInbox(&client);
    if (end != ClientDone) {
        FailAttempt(session, end);
        return;
    }
    bool polling = idleUnlisted;
    if (!idleUnlisted) {
        // An EXISTS before the continuation is mail; a completion of IDLE
        // means the server will not idle.
        session->meaning = MeaningIdle;
        end = StartIdle(&client, ResponseTimeoutMs(session));
        if (end == ClientRefused) {
            polling = true;
        } else if (end != ClientDone) {
            FailAttempt(session, end);
            return;
        }
    }
    ReachSession(session, polling);
}

// One attempt: the connection, then the dialogue.
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
        FailureDecision decision = AttemptFailed(&session->policy, FailureTold, record);
        if (decision.tell)
            TellConnectFailed(session);
        Trace(session, "retry in %u ms", static_cast<unsigned>(decision.waitMs));
        PublishStatus(session);
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
        FailureDecision decision = AttemptFailed(&session->policy, FailureUnreachable, record);
        if (decision.tell && !StopRequested(session))
            TellConnectFailed(session);
        Trace(session, "retry in %u ms", static_cast<unsigned>(decision.waitMs));
        PublishStatus(session);
        return;
    }
    ConnectionMade(&session->policy);
    session->plain.reset(new PlainStream(&session->connection, TracerOf(session)));
    RunDialogue(session);
}

// ---- IDLE ---------------------------------------------------------------------

// How long until IDLE is renewed; 0 when it is due now. A renewal that is
// due waits while the start of a line waits for its end (DONE would drop
// it, and an EXISTS with it), for at most the response time-out; then the
// stale part goes, and the renewal with it.
DWORD RenewalWaitMs(Session* session)
{
    uint64_t now = NowMs();
    DWORD renewAfter = RenewAfterMs(session);
    uint64_t idleFor = now - session->idleSinceMs;
    if (idleFor < renewAfter)
        return static_cast<DWORD>(renewAfter - idleFor);
    if (!LineUnderWay(session->client)) {
        session->partialHeldSinceMs = 0;
        return 0;
    }
    if (session->partialHeldSinceMs == 0)
        session->partialHeldSinceMs = now;
    DWORD limit = ResponseTimeoutMs(session) != 0 ? ResponseTimeoutMs(session) : CheckTimeoutMs;
    uint64_t held = now - session->partialHeldSinceMs;
    if (held < limit)
        return static_cast<DWORD>(limit - held);
    Trace(session, "partial line dropped");
    DropPartialLine(&session->client);
    session->partialHeldSinceMs = 0;
    return 0;
}

// DONE, the completion of IDLE, then IDLE and its continuation, each answer
// within timeoutMs; the connection is closed when one does not come.
void RestartIdle(Session* session, DWORD timeoutMs)
{
    ClientEnd end = EndIdle(&session->client, timeoutMs);
    if (end == ClientDone)
        end = StartIdle(&session->client, timeoutMs);
    if (end == ClientStopped || end == ClientMessage) {
        Abandon(session);
        return;
    }
    if (end != ClientDone) {
        LoseSession(session);
        return;
    }
    session->idleSinceMs = NowMs();
    session->partialHeldSinceMs = 0;
}

// Ends IDLE and starts it again, each answer within the response time-out
// (20 s where that is no limit).
void CheckConnection(Session* session)
{
    DWORD timeoutMs = ResponseTimeoutMs(session);
    RestartIdle(session, timeoutMs != 0 ? timeoutMs : CheckTimeoutMs);
}

// What the server says unasked until `limitMs` (0: the next link check) ,
// and what the link checks find meanwhile. Answers true when the connection
// must be checked now.
enum ListenEnd { ListenGoOn, ListenCheckLink, ListenOver, ListenLost, ListenLine };

ListenEnd Listen(Session* session, DWORD limitMs, bool idling)
{
    Tracer tracer = TracerOf(session);
    ByteWait wait;
    wait.traceTimeout = false;
    wait.extra = NetworkChangeEvent(&session->links, tracer);
    DWORD linkWait = LinkCheckWaitMs(&session->links);
    bool linkDeadline = linkWait <= limitMs;
    wait.timeoutMs = linkDeadline ? linkWait : limitMs;
    switch (ReadUnasked(&session->client, wait)) {
    case UnaskedLine:
        return ListenLine;
    case UnaskedOver:
        return ListenOver;
    case UnaskedCompleted:
        return idling ? ListenOver : ListenLine;
    case UnaskedTimeout:
        return linkDeadline && LinkCheckNeeded(&session->links, false, tracer) ? ListenCheckLink : ListenGoOn;
    case UnaskedExtra:
        return LinkCheckNeeded(&session->links, true, tracer) ? ListenCheckLink : ListenGoOn;
    case UnaskedStopped:
    case UnaskedMessage:
        return ListenGoOn;
    case UnaskedLost:
        break;
    }
    return ListenLost;
}

void ListenIdle(Session* session)
{
    // Until the renewal is due, a line comes, the server goes, a thread
    // message comes for the worker, a link check is due, or the stop.
    DWORD untilRenewal = RenewalWaitMs(session);
    switch (Listen(session, untilRenewal != 0 ? untilRenewal : 1, true)) {
    case ListenCheckLink:
        CheckConnection(session);
        return;
    case ListenOver:
        // The server ended IDLE, or the session: listening on would hear
        // nothing until the renewal.
        Trace(session, "IDLE ended by the server");
        LoseSession(session);
        return;
    case ListenLost:
        if (!StopRequested(session))
            LoseSession(session);
        return;
    case ListenGoOn:
    case ListenLine:
        return;
    }
}

// A session on a server without IDLE: NOOP every refreshTime minutes, at
// most two minutes apart, and new mail when the message count grew.
void Poll(Session* session)
{
    DWORD every = PollEveryMs(session);
    uint64_t since = NowMs() - session->lastPollMs;
    if (since < every) {
        // Until the next poll: the server may also speak unasked.
        switch (Listen(session, static_cast<DWORD>(every - since), false)) {
        case ListenCheckLink:
            // The connection may be gone: the NOOP asks at once.
            session->lastPollMs = NowMs() - every;
            return;
        case ListenOver:
            Trace(session, "IDLE ended by the server");
            LoseSession(session);
            return;
        case ListenLost:
            if (!StopRequested(session))
                LoseSession(session);
            return;
        case ListenGoOn:
        case ListenLine:
            return;
        }
    }
    session->lastPollMs = NowMs();
    ClientEnd end = Noop(&session->client);
    if (end == ClientStopped || end == ClientMessage)
        Abandon(session);
    else if (end != ClientDone)
        LoseSession(session);
}

} // namespace

Session::Session()
{
    memset(&settings, 0, sizeof settings);
    settings.refreshTime = 12;
    settings.recvTimeout = 20;
    settings.recvAtConnected = 1;
}

bool InitSession(Session* session)
{
    session->stopEvent.Attach(CreateEventA(NULL, TRUE, FALSE, NULL));
    return session->stopEvent.Valid();
}

void RequestStop(Session* session)
{
    session->stopRequested = 1;
    SetEvent(session->stopEvent.Get());
}

bool StopRequested(const Session* session)
{
    return session->stopRequested != 0;
}

bool TraceEnabled(const Session* session)
{
    return session->settings.debug != 0;
}

void Trace(const Session* session, const char* format, ...)
{
    if (!TraceEnabled(session))
        return;
    va_list arguments;
    va_start(arguments, format);
    TraceV(session->serial, true, format, arguments);
    va_end(arguments);
}

DWORD SessionStep(Session* session)
{
    WatchPolicy& policy = session->policy;
    if (session->settings.use == 0) {
        if (policy.state != WatchSwitchedOff && policy.state != WatchLoginRefused) {
            SettingsChanged(&policy, false, NowMs());
            PublishStatus(session);
        }
        return INFINITE; // until new settings come, or the stop
    }
    if (!session->connection.Open()) {
        DWORD wait = UntilNextAttemptMs(policy, NowMs());
        if (wait != 0)
            return wait;
        Attempt(session);
        return 0;
    }
    switch (policy.state) {
    case WatchIdling:
        // Never renew while received bytes wait to be read.
        if (!HasUnread(&session->client) && RenewalWaitMs(session) == 0) {
            RestartIdle(session, ResponseTimeoutMs(session));
            return 0;
        }
        ListenIdle(session);
        return 0;
    case WatchPolling:
        Poll(session);
        return 0;
    default:
        // A connection left open by an attempt that broke off: the dialogue
        // cannot be taken up where it was. No failure.
        CloseQuietly(session);
        return 0;
    }
}

void TakeFirstSettings(Session* session, const Settings& settings)
{
    {
        ExclusiveLock hold(session->settingsLock);
        session->settings = settings;
    }
    SettingsChanged(&session->policy, settings.use != 0, NowMs());
    PublishStatus(session);
}

void TakeNewSettings(Session* session, const Settings& settings)
{
    // Every change reconnects, whichever setting it was.
    CloseConnection(session);
    TakeFirstSettings(session, settings);
}

void CloseConnection(Session* session)
{
    // Mail read on this connection is told before it goes.
    TellPendingMail(session);
    DropStreams(session);
    Disconnect(&session->connection, TracerOf(session));
    // Paces the next attempt. A stopping worker has nothing to pace, and a
    // message for the worker is served at once.
    Pause(ControlOf(session), ClosePauseMs);
}

void EndSession(Session* session)
{
    CloseConnection(session);
    EndLinkChecks(&session->links);
}

void AbandonAttempt(Session* session)
{
    // The close traces, and the trace may fail as well; a second close then
    // finds the socket gone and only forgets what was received.
    try {
        CloseConnection(session);
    } catch (...) {
        try {
            CloseConnection(session);
        } catch (...) {
        }
    }
    if (StopRequested(session) || session->settings.use == 0)
        return;
    try {
        FailureRecord record;
        record.atMs = NowMs();
        FailureDecision decision = AttemptFailed(&session->policy, FailureQuiet, record);
        Trace(session, "retry in %u ms", static_cast<unsigned>(decision.waitMs));
        PublishStatus(session);
    } catch (...) {
    }
}

WatcherStatus ReadStatus(Session* session)
{
    SharedLock hold(session->statusLock);
    return session->status;
}
