#include "watch/outcome.h"

namespace {

void DropStreams(Session* session)
{
    session->client.stream = nullptr;
    session->secure.reset();
    session->plain.reset();
}

void TellConnectFailed(Session* session)
{
    session->events.connectFailed(session->events.owner, session->failure);
}

} // namespace


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
    CountFailure(session, kind, record);
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
    // A stopping worker closes the connection on its way out: nothing more
    // is done here, not even the close.
    if (StopRequested(session))
        return;
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

void CountFailure(Session* session, FailureKind kind, const FailureRecord& record)
{
    FailureDecision decision = AttemptFailed(&session->policy, kind, record);
    PublishStatus(session);
    if (decision.tell && !StopRequested(session))
        TellConnectFailed(session);
    Trace(session, "retry in %u ms", static_cast<unsigned>(decision.waitMs));
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
