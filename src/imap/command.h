// The IMAP command layer of one session: tagged commands and DONE going
// out, response lines coming in, and the session's notices to its owner.
// Worker thread only.
#pragma once

#include <windows.h>

#include <string>

#include "imap/wire.h"

struct Session;

bool SendCommand(const std::string& text, Session* session);
bool SendDone(Session* session);

// LOGIN with the session's user and password as IMAP astrings (atom, quoted
// string or literal). 1: the whole command went out; 0: the connection
// failed and is closed (or a stop ended it); -1: the server completed the
// command before it went out whole, with that completion in *completion.
int SendLogin(Session* session, Response* completion);

// One response line, with only the bytes 0x20 to 0x7E kept and at most
// MaxLineBytes of them. 0 when a line was delivered, else the wait's code.
int ReadLine(Session* session, std::string& out, DWORD timeoutMs);
// The same, in the idle wait: a thread message for the worker ends it with
// WaitThreadMessage, and a time-out is not traced.
int ReadIdleLine(Session* session, std::string& out, DWORD timeoutMs);
// Reads up to the tagged completion of the last command, which goes to
// `completion`. With byeSeen, an untagged BYE on the way sets it.
bool ReadTaggedResult(Session* session, Response& completion, bool* byeSeen = nullptr);
// 1: the last command completed with OK; 0: not its completion; -1: it
// completed with a failure, and the connection is closed.
int CheckTaggedCompletion(Session* session, const Response& response);

// The gates of the three notices; what a notice does is the owner's.
// New mail read is told once the lines already received have been read:
// TellPendingMail, which the transport calls before it waits and as it
// closes.
void NotifyMailArrived(Session* session);
void TellPendingMail(Session* session);
// Told while the notice is pending (once, until new settings).
void NotifyConnectFailed(Session* session);
// Told whatever was told before.
void TellConnectFailed(Session* session);
void NotifyLoginFailed(Session* session);

// recvTimeout in milliseconds, for every response wait of a command.
DWORD ResponseTimeoutMs(const Session* session);
// Forgets the start of a line whose end has not arrived, and a literal
// under way.
void DropPartialLine(Session* session);
