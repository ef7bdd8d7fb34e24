#include "imap/session.h"

#include <stdarg.h>
#include <string.h>

#include <string>
#include <vector>

#include "diag/trace.h"
#include "imap/command.h"
#include "imap/link_signals.h"
#include "imap/transport.h"

// New mail is recognised in three ways only: a "* n RECENT" with n of 1 or
// more in the SELECT response; once on reaching IDLE after a connect, when
// recvAtConnected asks for it and the first way did not fire; and a
// "* n EXISTS" while idling or while IDLE is being renewed. EXISTS inside
// other text, or in a literal, is no mail.
//
// A stop request ends the dialogue at the next wait: nothing more is sent,
// closed or announced, and the worker closes the connection on its way out.

namespace {

const DWORD RetryPauseMs = 3000;
const DWORD LongestRetryPauseMs = 5 * 60 * 1000;
// IDLE held this long shows the server takes the session: backoff starts over.
const DWORD SteadyIdleMs = 60000;
const DWORD GreetingTimeoutMs = 20000;
// The answers of a connection check never wait without limit.
const DWORD CheckTimeoutMs = 20000;

// A failed attempt or a dropped session: the next attempt waits.
void NoteFailure(Session* session)
{
    DWORD now = GetTickCount();
    // A session that held IDLE (or its polling) for the minute starts the
    // count afresh; it is over now, and later failures count on from here.
    if (session->sessionState != 0 && now - session->idleReachedTick >= SteadyIdleMs)
        session->failuresInRow = 0;
    session->sessionState = 0;
    if (session->failuresInRow < 0xFFFF)
        ++session->failuresInRow;
    session->retryPending = 1;
    session->failureTick = now;
    Trace(session, "retry in %u ms", static_cast<unsigned>(RetryDelayMs(session->failuresInRow)));
}

// Reads the responses to the last command up to its tagged completion,
// handing every untagged response to `untagged`; other lines are skipped.
// 1: completed with OK; -1: completed with a failure, and the connection is
// closed; 0: a read failed.
template <typename UntaggedLine> int ReadCompletion(Session* session, DWORD timeoutMs, UntaggedLine untagged)
{
    std::string line;
    for (;;) {
        if (ReadLine(session, line, timeoutMs) != WaitData)
            return 0;
        Response response = DecodeResponse(line);
        if (response.kind == ResponseUntagged) {
            untagged(response);
        } else if (response.kind == ResponseTagged) {
            int completion = CheckTaggedCompletion(session, response);
            if (completion != 0)
                return completion;
        }
    }
}

// Reads lines up to a continuation. An EXISTS on the way is new mail:
// it is announced, and *announced is set. False when a read failed.
bool WaitForContinuation(Session* session, DWORD timeoutMs, bool* announced, bool* refused = NULL)
{
    std::string line;
    for (;;) {
        if (ReadLine(session, line, timeoutMs) != WaitData)
            return false;
        Response response = DecodeResponse(line);
        if (response.kind == ResponseContinuation)
            return true;
        if (refused != NULL && Completes(response, CommandTag(session->tagCounter))) {
            // IDLE answered with a completion: the server will not idle.
            *refused = true;
            return false;
        }
        if (IsCountOf(response, "EXISTS")) {
            NotifyMailArrived(session);
            *announced = true;
        }
    }
}

// A connection that cannot be made secure, or may not carry the login:
// the user is told at once why, the connection closes before anything more
// is sent, and the next attempt comes at the pace of a failed one.
void FailSecurity(Session* session, ConnectFailReason reason)
{
    session->failure.reason = reason;
    Trace(session, "secure connection failed(%d)", static_cast<int>(reason));
    // A certificate refused is told once for each certificate, also after
    // the account has worked: a renewed certificate that no longer matches
    // the pin, or another one put in between, must not go unnoticed.
    const std::string& fingerprint = session->failure.fingerprint;
    bool certificate = reason == ReasonPinMismatch || reason == ReasonCertUntrusted || reason == ReasonCertName ||
                       reason == ReasonCertExpired;
    if (certificate && !fingerprint.empty() && session->toldCertificates.insert(fingerprint).second)
        TellConnectFailed(session);
    else
        NotifyConnectFailed(session);
    CloseConnection(session);
}

// The handshake and the certificate check. False when the connection was
// closed, or a stop ended it.
bool SecureConnection(Session* session)
{
    ConnectFailReason reason = StartTls(session);
    if (AttemptAbandoned(session))
        return false;
    if (reason != ReasonNone) {
        FailSecurity(session, reason);
        return false;
    }
    return true;
}

// CAPABILITY, collecting the names the server lists. False when the
// command failed (the connection is then closed or a stop ended it).
bool RequestCapabilities(Session* session, std::vector<std::string>* names)
{
    names->clear();
    if (!SendCommand("CAPABILITY", session)) {
        if (!AttemptAbandoned(session))
            NotifyConnectFailed(session);
        return false;
    }
    int completed = ReadCompletion(session, ResponseTimeoutMs(session), [&](const Response& untagged) {
        std::vector<std::string> listed;
        if (CapabilityData(untagged, &listed))
            names->insert(names->end(), listed.begin(), listed.end());
    });
    if (completed == 1)
        return true;
    if (completed == 0 && !AttemptAbandoned(session)) {
        CloseConnection(session);
        NotifyConnectFailed(session);
    }
    return false;
}

// STARTTLS on a plain connection whose greeting was `greeting`; then the
// capabilities learnt afresh over the encrypted connection. False when the
// connection was closed (or a stop ended it); it never goes on in the clear.
bool UpgradeConnection(Session* session, const Response& greeting, std::vector<std::string>* names)
{
    // A server that claims the login already happened would skip the
    // encryption altogether.
    if (greeting.status == StatusPreauth) {
        FailSecurity(session, ReasonTls);
        return false;
    }
    if (!CapabilityCode(greeting, names) && !RequestCapabilities(session, names))
        return false;
    if (!HasCapability(*names, "STARTTLS")) {
        Trace(session, "STARTTLS not offered");
        FailSecurity(session, ReasonTls);
        return false;
    }
    if (!SendCommand("STARTTLS", session)) {
        if (!AttemptAbandoned(session))
            NotifyConnectFailed(session);
        return false;
    }
    Response answer;
    if (!ReadTaggedResult(session, answer)) {
        if (!AttemptAbandoned(session)) {
            CloseConnection(session);
            NotifyConnectFailed(session);
        }
        return false;
    }
    if (answer.status != StatusOk) {
        FailSecurity(session, ReasonTls);
        return false;
    }
    if (!SecureConnection(session))
        return false;
    // What the server said in the clear may have been anybody's.
    return RequestCapabilities(session, names);
}

// LOGIN with the session's user and password. False when the session
// cannot go on: the connection failed or closed, or the login was refused.
bool Login(Session* session, Response* okAnswer)
{
    Response& answer = *okAnswer;
    bool byeSeen = false;
    // The password goes out in the clear only where the settings ask for a
    // plain connection, and otherwise only once this connection's
    // certificate has been accepted.
    if (session->settings.tls != 0 && !session->certificateAccepted) {
        Trace(session, "no login over an unverified connection");
        CloseConnection(session);
        return false;
    }
    int sent = SendLogin(session, &answer);
    if (sent == 0) {
        if (!AttemptAbandoned(session))
            NotifyConnectFailed(session);
        return false;
    }
    if (sent == 1 && !ReadTaggedResult(session, answer, &byeSeen)) {
        // Without an answer the server may have logged in by now: the
        // connection goes, like after every other failure.
        if (!AttemptAbandoned(session)) {
            CloseConnection(session);
            NotifyConnectFailed(session);
        }
        return false;
    }
    switch (ReadLoginAnswer(answer, byeSeen)) {
    case LoginAccepted:
        return true;
    case LoginRefusedForNow:
        // The server cannot take the login now; the password may well be
        // right. Try again later, without a box.
        Trace(session, "login refused for now");
        CloseConnection(session);
        return false;
    case LoginNeedsEncryption:
        FailSecurity(session, ReasonLoginDisabled);
        return false;
    case LoginRejected:
        break;
    }
    CloseConnection(session);
    NotifyLoginFailed(session);
    return false;
}

// refreshTime minutes as a 32-bit product, compared unsigned.
DWORD RenewAfterMs(const Session* session)
{
    return static_cast<DWORD>(session->settings.refreshTime) * 60000u;
}

// How long until IDLE is renewed; 0 when it is due now. A renewal that is
// due waits while the start of a line waits for its end (DONE would drop
// it, and an EXISTS with it), for at most the response time-out; then the
// stale part goes, and the renewal with it.
DWORD RenewalWaitMs(Session* session)
{
    DWORD now = GetTickCount();
    DWORD renewAfter = RenewAfterMs(session);
    DWORD idleFor = now - session->idleSinceTick;
    if (idleFor < renewAfter)
        return renewAfter - idleFor;
    if (!LineStarted(session->received.partialLine)) {
        session->partialHeld = false;
        return 0;
    }
    if (!session->partialHeld) {
        session->partialHeld = true;
        session->partialHeldSince = now;
    }
    DWORD limit = ResponseTimeoutMs(session) != 0 ? ResponseTimeoutMs(session) : CheckTimeoutMs;
    DWORD held = now - session->partialHeldSince;
    if (held < limit)
        return limit - held;
    Trace(session, "partial line dropped");
    DropPartialLine(session);
    session->partialHeld = false;
    return 0;
}

} // namespace

Session::Session()
{
    memset(&settings, 0, sizeof settings);
    settings.refreshTime = 12;
    settings.recvTimeout = 20;
    settings.recvAtConnected = 1;
}

Session::~Session()
{
    // The worker ends the checks itself; this is for a session never stepped
    // to its end.
    EndLinkChecks(this);
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

bool AttemptAbandoned(const Session* session)
{
    return session->stopRequested != 0 || session->interrupted;
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
    if (session->interrupted) {
        // A thread message ended the last step's wait, and serving it did
        // not close the connection: the dialogue cannot go on where it
        // broke off. No failure: the next attempt comes at once.
        session->interrupted = false;
        if (session->sock.Valid()) {
            CloseConnection(session);
            session->sessionState = 0;
            return 0;
        }
    }
    if (session->settings.use == 0) {
        if (session->retryPending) {
            session->retryPending = 0;
            session->connectFailures = 0;
        }
        return INFINITE; // until new settings come, or the stop
    }
    if (!session->sock.Valid()) {
        DWORD sinceFailure = GetTickCount() - session->failureTick;
        DWORD pause = RetryDelayMs(session->failuresInRow);
        if (session->retryPending && sinceFailure < pause)
            return pause - sinceFailure;
        session->failure = ConnectFailure();
        if (session->events.beforeAttempt != NULL)
            session->events.beforeAttempt(session->events.owner);
        if (session->settings.tls < 0 || session->settings.tls > 2) {
            // Never a silent fall back to plain text: no connection, and the
            // user is told at once what to correct.
            Trace(session, "tls setting error(%d)", session->settings.tls);
            session->failure.reason = ReasonTlsSetting;
            NotifyConnectFailed(session);
            NoteFailure(session);
            return 0;
        }
        if (!OpenConnection(session)) {
            if (!AttemptAbandoned(session))
                NoteFailure(session);
            return 0;
        }
        session->retryPending = 0;
    }
    if (session->sessionState == 2) {
        PollNoop(session);
    } else if (session->sessionState != 1) {
        StartSession(session);
    } else if (!HasUnreadByte(session) && RenewalWaitMs(session) == 0) {
        // Never renew while received bytes wait to be read.
        RenewIdle(session);
    } else {
        PollIdle(session);
    }
    // Every way a session ends but the stop and new settings (which close
    // outside the step) is a failure or a drop: the next attempt waits.
    if (!session->sock.Valid() && !AttemptAbandoned(session) && session->settings.use != 0)
        NoteFailure(session);
    return 0;
}

void ForgetFailures(Session* session)
{
    session->retryPending = 0;
    session->failuresInRow = 0;
    session->sessionState = 0;
    session->toldCertificates.clear();
}

DWORD RetryDelayMs(DWORD failures)
{
    if (failures <= 2)
        return RetryPauseMs;
    DWORD delay = RetryPauseMs;
    for (DWORD i = 2; i < failures && delay < LongestRetryPauseMs; ++i)
        delay *= 2;
    return delay < LongestRetryPauseMs ? delay : LongestRetryPauseMs;
}

void StartSession(Session* session)
{
    std::string line;
    Response greeting;
    const int tls = session->settings.tls;

    if (tls == 1 && !session->tlsActive && !SecureConnection(session))
        return;

    // Any untagged line is the greeting, a "* BYE" included.
    do {
        if (ReadLine(session, line, GreetingTimeoutMs) != WaitData) {
            if (AttemptAbandoned(session))
                return;
            NotifyConnectFailed(session);
            CloseConnection(session);
            return;
        }
        greeting = DecodeResponse(line);
    } while (greeting.kind != ResponseUntagged);
    if (IsBye(greeting)) {
        // The server said goodbye: no login to a server that is going.
        NotifyConnectFailed(session);
        CloseConnection(session);
        return;
    }

    // Plain sessions read only a capability code in the greeting and send
    // nothing more than the login.
    std::vector<std::string> capabilities;
    Response loginAnswer;
    bool preauthenticated = greeting.status == StatusPreauth;
    bool listed = CapabilityCode(greeting, &capabilities);
    if (tls == 2 && !session->tlsActive) {
        if (!UpgradeConnection(session, greeting, &capabilities))
            return;
        listed = true;
        preauthenticated = false;
    } else if (tls == 1 && !listed && !preauthenticated) {
        if (!RequestCapabilities(session, &capabilities))
            return;
        listed = true;
    }
    if (preauthenticated) {
        Trace(session, "PREAUTH");
    } else if (listed && HasCapability(capabilities, "LOGINDISABLED")) {
        // The password must not go out where the server refuses it; that is
        // no wrong password, and the watcher stays on.
        FailSecurity(session, ReasonLoginDisabled);
        return;
    } else if (!Login(session, &loginAnswer)) {
        return;
    }
    // IDLE is judged by the capabilities after the login, which servers
    // often extend; where they are not told, IDLE is tried.
    std::vector<std::string> afterLogin;
    bool idleUnlisted = CapabilityCode(loginAnswer, &afterLogin) && !HasCapability(afterLogin, "IDLE");

    if (!SendCommand("SELECT INBOX", session)) {
        NotifyConnectFailed(session);
        return;
    }
    bool recentSeen = false;
    session->messageCount = 0;
    int selected = ReadCompletion(session, ResponseTimeoutMs(session), [&](const Response& untagged) {
        if (IsCountOf(untagged, "RECENT") && untagged.number >= 1) {
            NotifyMailArrived(session);
            recentSeen = true;
        }
        if (IsCountOf(untagged, "EXISTS"))
            session->messageCount = untagged.number;
    });
    if (selected == 0) {
        if (AttemptAbandoned(session))
            return;
        CloseConnection(session);
        NotifyConnectFailed(session);
        return;
    }
    if (selected == -1)
        return;

    bool refused = idleUnlisted;
    if (!idleUnlisted) {
        if (!SendCommand("IDLE", session)) {
            NotifyConnectFailed(session);
            return;
        }
        // Untagged lines before the continuation are skipped but for EXISTS;
        // a completion of IDLE means the server will not idle.
        if (!WaitForContinuation(session, ResponseTimeoutMs(session), &recentSeen, &refused) && !refused) {
            if (AttemptAbandoned(session))
                return;
            CloseConnection(session);
            NotifyConnectFailed(session);
            return;
        }
    }
    if (session->events.idleReached != NULL)
        session->events.idleReached(session->events.owner);
    if (!recentSeen && session->settings.recvAtConnected != 0)
        NotifyMailArrived(session);
    session->connectNoticePending = 0;
    if (refused) {
        Trace(session, "NOOP mode");
        session->sessionState = 2;
        session->lastPollTick = GetTickCount();
        session->idleReachedTick = session->lastPollTick;
        return;
    }
    Trace(session, "IDLE mode");
    session->sessionState = 1;
    session->idleSinceTick = GetTickCount();
    session->partialHeld = false;
    session->idleReachedTick = session->idleSinceTick;
    StartLinkChecks(session);
}

void PollIdle(Session* session)
{
    // Until the renewal is due, a line comes, the server goes, a thread
    // message comes for the worker, or the stop.
    DWORD untilRenewal = RenewalWaitMs(session);
    std::string line;
    int result = ReadIdleLine(session, line, untilRenewal != 0 ? untilRenewal : 1);
    if (result == WaitTimeout || result == WaitThreadMessage)
        return;
    if (result == WaitLinkCheck) {
        CheckConnection(session);
        return;
    }
    if (result != WaitData) {
        // sessionState stays 1 until the next connect resets it.
        if (!AttemptAbandoned(session))
            CloseConnection(session);
        return;
    }
    Response response = DecodeResponse(line);
    if (IsBye(response) || Completes(response, CommandTag(session->tagCounter))) {
        // The server ended IDLE, or the session: listening on would hear
        // nothing until the renewal.
        Trace(session, "IDLE ended by the server");
        CloseConnection(session);
        return;
    }
    if (IsCountOf(response, "EXISTS"))
        NotifyMailArrived(session);
}

namespace {

// DONE, the completion of IDLE, then IDLE and its continuation, each answer
// within timeoutMs; the connection is closed when one does not come.
void RestartIdle(Session* session, DWORD timeoutMs)
{
    if (!SendDone(session))
        return;
    // DONE has no tag: the completion awaited is that of the IDLE command.
    int completed = ReadCompletion(session, timeoutMs, [&](const Response& untagged) {
        if (IsCountOf(untagged, "EXISTS"))
            NotifyMailArrived(session);
    });
    if (completed == 0) {
        if (!AttemptAbandoned(session))
            CloseConnection(session);
        return;
    }
    if (completed == -1)
        return;
    if (!SendCommand("IDLE", session))
        return;
    bool announced = false;
    if (!WaitForContinuation(session, timeoutMs, &announced)) {
        if (!AttemptAbandoned(session))
            CloseConnection(session);
        return;
    }
    session->idleSinceTick = GetTickCount();
    session->partialHeld = false;
}

} // namespace

void RenewIdle(Session* session)
{
    RestartIdle(session, ResponseTimeoutMs(session));
}

void CheckConnection(Session* session)
{
    DWORD timeoutMs = ResponseTimeoutMs(session);
    RestartIdle(session, timeoutMs != 0 ? timeoutMs : CheckTimeoutMs);
}

namespace {

const DWORD LongestPollMs = 2 * 60 * 1000;
const DWORD ShortestPollMs = 1000;

// Follows INBOX's message count; a count that grew is new mail, also after
// a deletion ("* n EXPUNGE" lowers the count first).
void FollowCount(Session* session, const Response& response)
{
    if (IsCountOf(response, "EXPUNGE")) {
        if (session->messageCount > 0)
            --session->messageCount;
    } else if (IsCountOf(response, "EXISTS")) {
        int count = response.number;
        if (count > session->messageCount)
            NotifyMailArrived(session);
        session->messageCount = count;
    }
}

} // namespace

void PollNoop(Session* session)
{
    DWORD every = RenewAfterMs(session);
    if (every > LongestPollMs)
        every = LongestPollMs;
    if (every < ShortestPollMs)
        every = ShortestPollMs;
    DWORD since = GetTickCount() - session->lastPollTick;
    if (since < every) {
        // Until the next poll: the server may also speak unasked.
        std::string line;
        int result = ReadIdleLine(session, line, every - since);
        if (result == WaitTimeout || result == WaitThreadMessage)
            return;
        if (result == WaitLinkCheck) {
            // The connection may be gone: the NOOP asks at once.
            session->lastPollTick = GetTickCount() - every;
            return;
        }
        if (result != WaitData) {
            if (!AttemptAbandoned(session))
                CloseConnection(session);
            return;
        }
        Response response = DecodeResponse(line);
        if (IsBye(response)) {
            Trace(session, "IDLE ended by the server");
            CloseConnection(session);
            return;
        }
        FollowCount(session, response);
        return;
    }
    session->lastPollTick = GetTickCount();
    if (!SendCommand("NOOP", session))
        return;
    int completed = ReadCompletion(session, ResponseTimeoutMs(session),
                                   [&](const Response& untagged) { FollowCount(session, untagged); });
    if (completed == 0 && !AttemptAbandoned(session))
        CloseConnection(session);
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
    // NoteFailure records the failure before it traces it: a trace that
    // fails loses the line only.
    try {
        NoteFailure(session);
    } catch (...) {
    }
}
