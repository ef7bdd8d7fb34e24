#include "imap/transport.h"

#include <string.h>

#include <atomic>
#include <string>
#include <vector>

#include "imap/command.h"
#include "imap/link_signals.h"
#include "imap/lookup.h"
#include "imap/session.h"

namespace {

// Set by the first successful start; Windows Sockets is never shut down.
// Several workers may start it at once on first use, which is harmless.
std::atomic<unsigned char> winsockReady{0};

const DWORD ClosePauseMs = 1000;
// Never handed to a wait as a time-out: it would mean no limit.
const DWORD LongestWaitMs = INFINITE - 1;

// Drops everything received on the connection that is going away.
void ForgetReceived(Session* session)
{
    session->received.pos = 0;
    session->received.len = 0;
    DropPartialLine(session);
    session->peerClosed = false;
    session->readPending = false;
    // Nothing is sent: closing the socket is enough for IMAP.
    TlsReset(&session->tls);
    session->tlsActive = false;
    session->certificateAccepted = false;
    session->interrupted = false;
}

// Waits for one of `handles`, the stop (which the caller puts among them)
// or a thread message for the worker, which marks the attempt interrupted.
// No limit is put on the wait for the server; the worker's own messages are
// never kept waiting by it.
DWORD WaitServingMessages(Session* session, DWORD count, const HANDLE* handles, DWORD timeoutMs)
{
    DWORD waited = MsgWaitForMultipleObjectsEx(count, handles, timeoutMs, QS_ALLPOSTMESSAGE, MWMO_INPUTAVAILABLE);
    if (waited == WAIT_OBJECT_0 + count)
        session->interrupted = true;
    return waited;
}

// A TLS record is at most this long; one receive takes a whole one.
const int RecordBufferBytes = 5 + 16384 + 2048;

// Opens received records. False when the channel failed (traced).
bool OpenReceived(Session* session, const char* bytes, int count)
{
    TlsStep step = TlsReceive(&session->tls, bytes, static_cast<size_t>(count));
    // Answers to the server's requests for a new handshake go out at once.
    if (!SendTlsTokens(session))
        return false;
    if (step == TlsFailed) {
        Trace(session, "TLS error(%x)", static_cast<unsigned>(session->tls.lastStatus));
        return false;
    }
    if (step == TlsClosed)
        session->peerClosed = true;
    TakeOpenedBytes(session);
    return true;
}

// Reads what the socket holds on an encrypted connection. 1: read (opened
// bytes may still be none); 0: the peer closed; -1: nothing to read; -2:
// failed (traced).
int ReadRecords(Session* session)
{
    std::vector<char> bytes(RecordBufferBytes);
    int count = recv(session->sock.Get(), bytes.data(), RecordBufferBytes, 0);
    if (count > 0)
        return OpenReceived(session, bytes.data(), count) ? 1 : -2;
    if (count == 0)
        return 0;
    int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK)
        return -1;
    Trace(session, "recv error(%d)", error);
    return -2;
}

// "connect to(NAME,PORT,ADDRESS)": an IPv4 address as its four bytes in
// network order read as one little-endian number (ffffffff for a name that
// did not resolve), an IPv6 address in brackets in its text form.
void TraceAttempt(Session* session, const std::string& name, int port, const ServerAddress* address)
{
    if (!TraceEnabled(session))
        return;
    if (address == NULL || address->address.ss_family == AF_INET) {
        unsigned value = address == NULL
                             ? INADDR_NONE
                             : reinterpret_cast<const sockaddr_in*>(&address->address)->sin_addr.s_addr;
        Trace(session, "connect to(%s,%d,%x)", name.c_str(), port, value);
        return;
    }
    char text[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&address->address), address->length, text, sizeof text,
                    NULL, 0, NI_NUMERICHOST) != 0)
        strcpy(text, "?");
    Trace(session, "connect to(%s,%d,[%s])", name.c_str(), port, text);
}

// The server's addresses, in order. An empty name is no server (it would
// resolve to this machine). Answers false when none was found or the stop
// ended the lookup; *error then holds the reason.
bool ResolveServer(Session* session, const std::string& name, int port, std::vector<ServerAddress>* addresses,
                   int* error)
{
    addresses->clear();
    *error = WSAHOST_NOT_FOUND;
    if (name.empty())
        return false;
    ServerAddress numeric;
    if (NumericAddress(name, port, &numeric)) {
        addresses->push_back(numeric);
        return true;
    }
    bool messageCame = false;
    bool found = LookUpName(name, port, session->stopEvent.Get(), true, addresses, error, &messageCame);
    if (messageCame)
        session->interrupted = true;
    return found;
}

// Connects the session's socket to one address, waiting on its connect event
// and the stop. 0 when connected, else the socket error (WSAEINTR when a stop
// ended the attempt).
int ConnectTo(Session* session, const ServerAddress& address)
{
    int error = 0;
    if (connect(session->sock.Get(), reinterpret_cast<const sockaddr*>(&address.address), address.length) == 0)
        return 0;
    error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK)
        return error;
    HANDLE handles[2] = {session->netEvent.Get(), session->stopEvent.Get()};
    for (;;) {
        DWORD waited = WaitServingMessages(session, 2, handles, INFINITE);
        if (waited == WAIT_OBJECT_0 + 1 || waited == WAIT_OBJECT_0 + 2)
            return WSAEINTR;
        if (waited != WAIT_OBJECT_0)
            return static_cast<int>(GetLastError());
        WSANETWORKEVENTS events;
        if (WSAEnumNetworkEvents(session->sock.Get(), session->netEvent.Get(), &events) != 0)
            return WSAGetLastError();
        if (events.lNetworkEvents & FD_CONNECT) {
            error = events.iErrorCode[FD_CONNECT_BIT];
            if (error == 0) {
                // Reported once and not again: the greeting may have come
                // with the connect, or the peer may already have gone.
                if (events.lNetworkEvents & FD_READ)
                    session->readPending = true;
                if (events.lNetworkEvents & FD_CLOSE)
                    session->peerClosed = true;
            }
            return error;
        }
    }
}

// One address: a socket of its family, selected for its events, connected.
// 0 when connected, else the error traced.
int TryAddress(Session* session, const ServerAddress& address)
{
    session->sock.Attach(socket(address.address.ss_family, SOCK_STREAM, IPPROTO_TCP));
    if (!session->sock.Valid()) {
        int error = WSAGetLastError();
        Trace(session, "socket error(%d)", error);
        return error;
    }
    // The connect, the data and the close all signal the one event; the
    // selection also makes the socket non-blocking.
    if (WSAEventSelect(session->sock.Get(), session->netEvent.Get(), FD_CONNECT | FD_READ | FD_CLOSE) != 0) {
        int error = WSAGetLastError();
        Trace(session, "WSAEventSelect Error(%d)", error);
        session->sock.Close();
        return error;
    }
    int error = ConnectTo(session, address);
    if (error != 0) {
        if (!AttemptAbandoned(session))
            Trace(session, "connect error(%d)", error);
        session->sock.Close();
        ForgetReceived(session);
        return error;
    }
    ApplyKeepAlive(session);
    return 0;
}

// Whether complete lines wait on the socket, to be read without waiting.
// A plain connection's bytes are looked at for the end of a line (a line
// that is still arriving is no reason to hold news back); a secure
// connection's cannot be, and any bytes of it count.
bool LinesWaitingOnSocket(Session* session)
{
    u_long waiting = 0;
    if (ioctlsocket(session->sock.Get(), FIONREAD, &waiting) != 0 || waiting == 0)
        return false;
    if (session->tlsActive)
        return true;
    char peeked[4096];
    int count = recv(session->sock.Get(), peeked, sizeof peeked, MSG_PEEK);
    return count > 0 && memchr(peeked, '\n', static_cast<size_t>(count)) != NULL;
}

// Waits on the connection's event and the stop, and with `messages` also
// for a thread message. The one wait of the worker while it waits for the
// server.
int WaitNetwork(Session* session, DWORD timeoutMs, bool messages)
{
    if (!session->sock.Valid() || !session->netEvent.Valid()) {
        Trace(session, "param error(%x,%x)", static_cast<unsigned>(session->sock.Get()),
              static_cast<unsigned>(reinterpret_cast<UINT_PTR>(session->netEvent.Get())));
        return WaitClosed;
    }
    if (session->readPending && session->tlsActive) {
        session->readPending = false;
        int read = ReadRecords(session);
        if (read == -2)
            return WaitFailed;
        if (read == 0)
            session->peerClosed = true;
        else if (HasUnreadByte(session))
            return WaitData;
    }
    if (session->readPending) {
        // The connect reported data along with itself, and the event will
        // not say so again until it is read.
        session->readPending = false;
        ReceiveBuffer& received = session->received;
        int count = recv(session->sock.Get(), received.bytes, sizeof received.bytes, 0);
        if (count > 0) {
            received.len = count;
            received.pos = 0;
            return WaitData;
        }
        if (count == 0) {
            session->peerClosed = true;
        } else if (WSAGetLastError() != WSAEWOULDBLOCK) {
            Trace(session, "recv error(%d)", WSAGetLastError());
            return WaitFailed;
        }
    }
    if (session->peerClosed && session->tlsActive) {
        // As below, through the records still on the socket.
        while (!HasUnreadByte(session) && !session->tls.closed && ReadRecords(session) == 1) {
        }
        if (HasUnreadByte(session))
            return WaitData;
        Trace(session, "## Connection Closed");
        return WaitClosed;
    }
    if (session->peerClosed) {
        // The close was seen (alone, or with the last data) and is not
        // signalled again: take what the socket still holds, then report it.
        int count = recv(session->sock.Get(), session->received.bytes, sizeof session->received.bytes, 0);
        if (count > 0) {
            session->received.len = count;
            session->received.pos = 0;
            return WaitData;
        }
        Trace(session, "## Connection Closed");
        return WaitClosed;
    }
    HANDLE handles[3] = {session->netEvent.Get(), session->stopEvent.Get(), NULL};
    DWORD start = GetTickCount();
    for (;;) {
        if (AttemptAbandoned(session))
            return WaitData; // no byte arrived; the caller sees the stop
        DWORD remaining = LongestWaitMs;
        if (timeoutMs != 0) {
            DWORD elapsed = GetTickCount() - start;
            if (elapsed >= timeoutMs) {
                if (!messages && timeoutMs >= 1000)
                    Trace(session, "recv timeout(%d)", static_cast<int>(timeoutMs));
                return WaitTimeout;
            }
            remaining = timeoutMs - elapsed;
        }
        // The idle wait also ends for the next comparison of the clocks, and
        // at a network change.
        DWORD count = 2;
        bool linkDeadline = false;
        if (messages) {
            handles[2] = NetworkChangeEvent(session);
            if (handles[2] != NULL)
                count = 3;
            DWORD linkWait = LinkCheckWaitMs(session);
            if (linkWait <= remaining) {
                remaining = linkWait;
                linkDeadline = true;
            }
        }
        // Mail read from lines that were waiting is told now, unless more
        // complete lines are already here to be read first.
        if (session->mailPending && !LinesWaitingOnSocket(session))
            TellPendingMail(session);
        DWORD waited = MsgWaitForMultipleObjectsEx(count, handles, remaining, QS_ALLPOSTMESSAGE, MWMO_INPUTAVAILABLE);
        if (messages && count == 3 && waited == WAIT_OBJECT_0 + 2) {
            if (LinkCheckNeeded(session, true))
                return WaitLinkCheck;
            continue;
        }
        if (linkDeadline && waited == WAIT_TIMEOUT) {
            if (LinkCheckNeeded(session, false))
                return WaitLinkCheck;
            continue;
        }
        if (waited == WAIT_OBJECT_0) {
            WSANETWORKEVENTS events;
            if (WSAEnumNetworkEvents(session->sock.Get(), session->netEvent.Get(), &events) != 0) {
                Trace(session, "WSAEnumNetworkEvents Failed");
                return WaitFailed;
            }
            if (events.lNetworkEvents & FD_READ) {
                if (!ReceiveChunk(session))
                    return WaitFailed;
                if (events.lNetworkEvents & FD_CLOSE)
                    session->peerClosed = true;
                // A part of a record, or a record without data: wait on.
                if (session->tlsActive && !HasUnreadByte(session)) {
                    if (session->peerClosed)
                        return WaitNetwork(session, timeoutMs, messages); // reports the close at once
                    continue;
                }
                return WaitData;
            }
            if (events.lNetworkEvents & FD_CLOSE) {
                // A connection that died (keepalive found no peer, a reset)
                // says why; an orderly close has no error.
                if (events.iErrorCode[FD_CLOSE_BIT] != 0)
                    Trace(session, "connection error(%d)", events.iErrorCode[FD_CLOSE_BIT]);
                // Signalled once only: a later wait on this connection (the
                // greeting wait after a login without answer) must not wait
                // out its time-out for a peer that is gone.
                session->peerClosed = true;
                Trace(session, "## Connection Closed");
                return WaitClosed;
            }
        } else if (waited == WAIT_OBJECT_0 + 1) {
            return WaitData; // the stop
        } else if (waited == WAIT_OBJECT_0 + count) {
            if (messages)
                return WaitThreadMessage;
            session->interrupted = true; // the caller sees the attempt abandoned
            return WaitData;
        } else if (waited == WAIT_FAILED) {
            Trace(session, "WSAWaitForMultipleEvents Failed(%d,%x)", static_cast<int>(GetLastError()),
                  static_cast<unsigned>(reinterpret_cast<UINT_PTR>(session->netEvent.Get())));
            return WaitFailed;
        }
        // A time-out goes round once more and is judged above; an event
        // with nothing of ours in it is waited past.
    }
}

} // namespace

bool StartWinsock()
{
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return false;
    if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2)
        return false;
    winsockReady = 1;
    return true;
}

bool OpenConnection(Session* session)
{
    if (winsockReady == 0 && !StartWinsock()) {
        Trace(session, "WinSock Error");
        HANDLE stop = session->stopEvent.Get();
        MsgWaitForMultipleObjectsEx(1, &stop, ClosePauseMs, QS_ALLPOSTMESSAGE, MWMO_INPUTAVAILABLE);
        return false;
    }
    const std::string server = session->settings.server;
    const int port = session->settings.port;
    std::vector<ServerAddress> addresses;
    int error = 0;
    bool resolved = ResolveServer(session, server, port, &addresses, &error);
    // A stop or new settings end the attempt: that is no failure of the
    // server, and it is neither counted nor paused for.
    if (AttemptAbandoned(session))
        return false;

    if (resolved) {
        session->netEvent.Attach(WSACreateEvent());
        if (!session->netEvent.Valid()) {
            Trace(session, "WSACreateEvent Error(%d)", WSAGetLastError());
            CloseConnection(session);
            return false;
        }
        for (const ServerAddress& address : addresses) {
            TraceAttempt(session, server, port, &address);
            error = TryAddress(session, address);
            if (AttemptAbandoned(session)) {
                session->netEvent.Close();
                return false;
            }
            if (error == 0)
                break;
        }
    } else {
        TraceAttempt(session, server, port, NULL);
        Trace(session, "connect error(%d)", error);
    }

    if (!session->sock.Valid()) {
        session->netEvent.Close();
        // Counted until a live socket is closed; from the third failure on,
        // each one pauses and tells the user (while a notice is pending).
        if (++session->connectFailures >= 3) {
            CloseConnection(session);
            NotifyConnectFailed(session);
        }
        return false;
    }
    session->sessionState = 0;
    session->tagCounter = 0;
    Trace(session, "Connected(%x)", 0);
    return true;
}

void CloseConnection(Session* session)
{
    // Mail read on this connection is told before it goes.
    TellPendingMail(session);
    session->netEvent.Close();
    if (session->sock.Valid()) {
        session->sock.Close();
        session->connectFailures = 0;
        Trace(session, "CloseSocket");
    }
    // Nothing of this connection may be read as the next one's: unread
    // bytes, a partial line and a pending close all go with it.
    ForgetReceived(session);
    // Paces the next attempt. A stopping worker has nothing to pace, and a
    // message for the worker is served at once.
    HANDLE stop = session->stopEvent.Get();
    MsgWaitForMultipleObjectsEx(1, &stop, ClosePauseMs, QS_ALLPOSTMESSAGE, MWMO_INPUTAVAILABLE);
}

int WaitForData(Session* session, DWORD timeoutMs)
{
    return WaitNetwork(session, timeoutMs, false);
}

int WaitForIdleEvent(Session* session, DWORD timeoutMs)
{
    return WaitNetwork(session, timeoutMs, true);
}

bool ReceiveChunk(Session* session)
{
    if (session->tlsActive) {
        int read = ReadRecords(session);
        if (read == -1)
            Trace(session, "recv error: Socket WSAEWOULDBLOCK");
        if (read == 0)
            session->peerClosed = true;
        return read >= 0;
    }
    ReceiveBuffer& received = session->received;
    int count = recv(session->sock.Get(), received.bytes, sizeof received.bytes, 0);
    if (count >= 1) {
        received.len = count;
        received.pos = 0;
        return true;
    }
    int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK)
        Trace(session, "recv error: Socket WSAEWOULDBLOCK");
    else
        Trace(session, "recv error(%d)", error);
    return false;
}

bool HasUnreadByte(const Session* session)
{
    if (session->received.len != 0 && session->received.len > session->received.pos)
        return true;
    return session->tlsActive && TlsUnread(&session->tls) != 0;
}

void TakeOpenedBytes(Session* session)
{
    ReceiveBuffer& received = session->received;
    TlsChannel& tls = session->tls;
    if (received.len > received.pos || TlsUnread(&tls) == 0)
        return;
    size_t count = TlsUnread(&tls) < sizeof received.bytes ? TlsUnread(&tls) : sizeof received.bytes;
    memcpy(received.bytes, tls.plainIn.data() + tls.plainPos, count);
    received.pos = 0;
    received.len = static_cast<int>(count);
    tls.plainPos += count;
    if (tls.plainPos == tls.plainIn.size()) {
        tls.plainIn.clear();
        tls.plainPos = 0;
    }
}

bool SendOnConnection(Session* session, const std::string& bytes)
{
    std::string sealed;
    const std::string* out = &bytes;
    if (session->tlsActive) {
        if (!TlsSeal(&session->tls, bytes.data(), bytes.size(), &sealed)) {
            Trace(session, "TLS error(%x)", static_cast<unsigned>(session->tls.lastStatus));
            WSASetLastError(WSAECONNABORTED);
            return false;
        }
        out = &sealed;
    }
    int sent = send(session->sock.Get(), out->data(), static_cast<int>(out->size()), 0);
    return sent == static_cast<int>(out->size());
}
