#include "imap/command.h"

#include <vector>

#include "diag/handles.h"
#include "imap/session.h"
#include "imap/transport.h"

namespace {

std::string ExpectedTag(const Session* session)
{
    return CommandTag(session->tagCounter);
}

bool SendBytes(Session* session, const std::string& bytes)
{
    if (SendOnConnection(session, bytes))
        return true;
    Trace(session, "send error(%d)", WSAGetLastError());
    CloseConnection(session);
    return false;
}

// Before a command or DONE goes out, complete lines already received stay
// to be read in order (an EXISTS among them is mail); only the start of a
// line whose end has not come goes.
void DropPartialBeforeCommand(Session* session)
{
    if (!LineStarted(session->received.partialLine))
        return;
    Trace(session, "partial line dropped");
    DropPartialLine(session);
}

typedef int (*WaitFunction)(Session* session, DWORD timeoutMs);

int ReadLineWith(Session* session, std::string& out, DWORD timeoutMs, WaitFunction wait)
{
    ReceiveBuffer& received = session->received;
    std::string line;
    for (;;) {
        if (!HasUnreadByte(session)) {
            int waited = wait(session, timeoutMs);
            if (waited != WaitData)
                return waited; // the partial line stays for the next read
            if (!HasUnreadByte(session))
                return WaitClosed; // a stop request ended the wait; no byte arrived
        }
        TakeOpenedBytes(session);
        size_t pos = static_cast<size_t>(received.pos);
        bool ended = TakeLine(received.partialLine, received.bytes, static_cast<size_t>(received.len), &pos, &line);
        received.pos = static_cast<int>(pos);
        if (ended)
            break;
    }
    Trace(session, "Recv:%s", line.c_str());
    out.swap(line);
    return WaitData;
}

} // namespace

DWORD ResponseTimeoutMs(const Session* session)
{
    return static_cast<DWORD>(session->settings.recvTimeout) * 1000u;
}

void DropPartialLine(Session* session)
{
    ForgetPartialLine(session->received.partialLine);
}

bool SendCommand(const std::string& text, Session* session)
{
    ++session->tagCounter;
    DropPartialBeforeCommand(session);
    std::string line = ExpectedTag(session) + " " + text + "\r\n";
    Trace(session, "%s", line.c_str());
    return SendBytes(session, line);
}

bool SendDone(Session* session)
{
    DropPartialBeforeCommand(session);
    Trace(session, "Send:%s", "DONE");
    return SendBytes(session, "DONE\r\n");
}

int SendLogin(Session* session, Response* completion)
{
    ++session->tagCounter;
    DropPartialBeforeCommand(session);
    std::string tag = ExpectedTag(session);
    std::string masked;
    std::vector<std::string> pieces = LoginPieces(session->settings.user, session->settings.pass, &masked);
    Trace(session, "%s", (tag + " " + masked + "\r\n").c_str());

    for (size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0) {
            // Wait for the server's go-ahead for the literal announced last.
            std::string line;
            for (;;) {
                if (ReadLine(session, line, ResponseTimeoutMs(session)) != WaitData) {
                    if (!AttemptAbandoned(session))
                        CloseConnection(session);
                    return 0;
                }
                Response response = DecodeResponse(line);
                if (response.kind == ResponseContinuation)
                    break;
                if (Completes(response, tag)) {
                    *completion = response;
                    return -1;
                }
            }
        }
        std::string bytes = (i == 0 ? tag + " " : std::string()) + pieces[i] + "\r\n";
        if (!SendBytes(session, bytes))
            return 0;
    }
    return 1;
}

int ReadLine(Session* session, std::string& out, DWORD timeoutMs)
{
    return ReadLineWith(session, out, timeoutMs, WaitForData);
}

int ReadIdleLine(Session* session, std::string& out, DWORD timeoutMs)
{
    return ReadLineWith(session, out, timeoutMs, WaitForIdleEvent);
}

bool ReadTaggedResult(Session* session, Response& completion, bool* byeSeen)
{
    std::string tag = ExpectedTag(session);
    std::string line;
    while (!AttemptAbandoned(session)) {
        if (ReadLine(session, line, ResponseTimeoutMs(session)) != WaitData)
            return false;
        Response response = DecodeResponse(line);
        if (byeSeen != nullptr && IsBye(response))
            *byeSeen = true;
        if (Completes(response, tag)) {
            completion = response;
            return true;
        }
    }
    return false;
}

int CheckTaggedCompletion(Session* session, const Response& response)
{
    if (!Completes(response, ExpectedTag(session)))
        return 0;
    if (response.status == StatusOk)
        return 1;
    CloseConnection(session);
    NotifyConnectFailed(session);
    return -1;
}

void NotifyMailArrived(Session* session)
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

void NotifyConnectFailed(Session* session)
{
    if (session->connectNoticePending == 0)
        return;
    TellConnectFailed(session);
}

void TellConnectFailed(Session* session)
{
    session->events.connectFailed(session->events.owner, session->failure);
    session->connectNoticePending = 0;
}

void NotifyLoginFailed(Session* session)
{
    // Off until new settings arrive: no further login attempts.
    {
        ExclusiveLock hold(session->settingsLock);
        session->settings.use = 0;
    }
    session->events.loginFailed(session->events.owner);
}
