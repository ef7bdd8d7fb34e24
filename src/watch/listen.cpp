#include "watch/listen.h"

#include "watch/outcome.h"

namespace {

// The answers of a connection check never wait without limit.
const DWORD CheckTimeoutMs = 20000;

} // namespace

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
namespace {

void RestartIdleToCheck(Session* session)
{
    DWORD timeoutMs = ResponseTimeoutMs(session);
    RestartIdle(session, timeoutMs != 0 ? timeoutMs : CheckTimeoutMs);
}

// What the server says unasked within `limitMs`, and what the link checks
// find meanwhile.
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

// A listen that ended with the session: the server ended it (listening on
// would hear nothing more), or the connection is lost (a stop excepted).
void LoseListenedSession(Session* session, ListenEnd end)
{
    if (end == ListenOver) {
        Trace(session, "IDLE ended by the server");
        LoseSession(session);
    } else if (!StopRequested(session)) {
        LoseSession(session);
    }
}

} // namespace

void ListenIdle(Session* session)
{
    // Until the renewal is due, a line comes, the server goes, a thread
    // message comes for the worker, a link check is due, or the stop.
    DWORD untilRenewal = RenewalWaitMs(session);
    ListenEnd end = Listen(session, untilRenewal != 0 ? untilRenewal : 1, true);
    switch (end) {
    case ListenCheckLink:
        RestartIdleToCheck(session);
        return;
    case ListenOver:
    case ListenLost:
        LoseListenedSession(session, end);
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
        ListenEnd end = Listen(session, static_cast<DWORD>(every - since), false);
        switch (end) {
        case ListenCheckLink:
            // The connection may be gone: the NOOP asks at once.
            session->lastPollMs = NowMs() - every;
            return;
        case ListenOver:
        case ListenLost:
            LoseListenedSession(session, end);
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
