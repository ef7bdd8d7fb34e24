// How an attempt or a session ends, and what is told of it: mail read is
// told once no more received lines wait; a failure closes the connection,
// counts for the pace of the next attempt and is told as the policy says; an
// attempt abandoned for the stop or a message is neither. Worker thread only.
#pragma once

#include "imap/client.h"
#include "imap/failure.h"
#include "watch/session.h"
#include "watch/state.h"

// Mail was read: it is told before the worker next waits.
void NotifyMail(Session* session);
void TellPendingMail(Session* session);
// Given to the client: just before a wait blocks, mail read so far is told,
// unless more complete lines are already here to be read first.
void BeforeBlocking(void* owner);

// Closes the connection, tells mail read on it, and pauses a second to pace
// the next attempt (a stop or a message cuts the pause short).
void CloseConnection(Session* session);
// Closes without the pause: the attempt was abandoned for the stop or a
// message, which the worker serves at once.
void CloseQuietly(Session* session);
// The attempt failed, or the session was lost: the connection closes (with
// its pause), the failure is counted, and the user told when the policy says
// so. `reason` adds to what the box says.
void Fail(Session* session, FailureKind kind, ConnectFailReason reason);
// A connection that cannot be made secure, or may not carry the login: told
// at once why (a refused certificate once for each certificate).
void FailSecurity(Session* session, ConnectFailReason reason);
// A session that was running is lost: nobody is told, the count goes on.
void LoseSession(Session* session);
// The attempt ended for the stop or a message, no failure of the server.
void Abandon(Session* session);
// A command of the dialogue up to IDLE that did not end as asked.
void FailAttempt(Session* session, ClientEnd end);
// A failure that closes nothing (no connection was made): counted and told
// as the policy says.
void CountFailure(Session* session, FailureKind kind, const FailureRecord& record);
