#include "net/connection.h"

#include <ws2tcpip.h>
#include <string.h>

#include <atomic>
#include <vector>

#include "net/address.h"
#include "net/link_signals.h"
#include "net/lookup.h"

namespace {

// Set by the first successful start; Windows Sockets is never shut down.
// Several workers may start it at once on first use, which is harmless.
std::atomic<unsigned char> winsockReady{0};

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

// "connect to(NAME,PORT,ADDRESS)": an IPv4 address as its four bytes in
// network order read as one little-endian number (ffffffff for a name that
// did not resolve), an IPv6 address in brackets in its text form.
void TraceAttempt(const Tracer& tracer, const std::string& name, int port, const ServerAddress* address)
{
    if (!TraceOn(tracer))
        return;
    if (address == NULL || address->address.ss_family == AF_INET) {
        unsigned value = address == NULL
                             ? INADDR_NONE
                             : reinterpret_cast<const sockaddr_in*>(&address->address)->sin_addr.s_addr;
        TraceTo(tracer, "connect to(%s,%d,%x)", name.c_str(), port, value);
        return;
    }
    char text[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&address->address), address->length, text, sizeof text,
                    NULL, 0, NI_NUMERICHOST) != 0)
        strcpy(text, "?");
    TraceTo(tracer, "connect to(%s,%d,[%s])", name.c_str(), port, text);
}

// The server's addresses, in order. An empty name is no server (it would
// resolve to this machine).
ConnectEnd ResolveServer(const std::string& name, int port, const WaitControl& control,
                         std::vector<ServerAddress>* addresses, int* error)
{
    addresses->clear();
    *error = WSAHOST_NOT_FOUND;
    if (name.empty())
        return ConnectFailed;
    ServerAddress numeric;
    if (NumericAddress(name, port, &numeric)) {
        addresses->push_back(numeric);
        return ConnectMade;
    }
    bool messageCame = false;
    if (LookUpName(name, port, control.stop, control.serveMessages, addresses, error, &messageCame))
        return ConnectMade;
    if (messageCame)
        return ConnectMessage;
    if (control.stop != NULL && WaitForSingleObject(control.stop, 0) == WAIT_OBJECT_0)
        return ConnectStopped;
    return ConnectFailed;
}

// Connects the socket to one address, waiting on its connect event, the
// stop and the thread's messages.
ConnectEnd ConnectTo(Connection* connection, const ServerAddress& address, const WaitControl& control, int* error)
{
    *error = 0;
    if (connect(connection->sock.Get(), reinterpret_cast<const sockaddr*>(&address.address), address.length) == 0)
        return ConnectMade;
    *error = WSAGetLastError();
    if (*error != WSAEWOULDBLOCK)
        return ConnectFailed;
    HANDLE event = connection->event.Get();
    for (;;) {
        WaitEnd end = WaitForWork(control, &event, 1, INFINITE);
        if (end == WaitEndStop) {
            *error = WSAEINTR;
            return ConnectStopped;
        }
        if (end == WaitEndMessage) {
            *error = WSAEINTR;
            return ConnectMessage;
        }
        if (end != WaitEndHandle) {
            *error = static_cast<int>(GetLastError());
            return ConnectFailed;
        }
        WSANETWORKEVENTS events;
        if (WSAEnumNetworkEvents(connection->sock.Get(), event, &events) != 0) {
            *error = WSAGetLastError();
            return ConnectFailed;
        }
        if (events.lNetworkEvents & FD_CONNECT) {
            *error = events.iErrorCode[FD_CONNECT_BIT];
            if (*error != 0)
                return ConnectFailed;
            // Reported once and not again: the greeting may have come with
            // the connect, or the peer may already have gone.
            if (events.lNetworkEvents & FD_READ)
                connection->readPending = true;
            if (events.lNetworkEvents & FD_CLOSE)
                connection->peerClosed = true;
            return ConnectMade;
        }
    }
}

// One address: a socket of its family, selected for its events, connected.
ConnectEnd TryAddress(Connection* connection, const ServerAddress& address, const ConnectTarget& target,
                      const WaitControl& control, const Tracer& tracer, int* error)
{
    connection->sock.Attach(socket(address.address.ss_family, SOCK_STREAM, IPPROTO_TCP));
    if (!connection->sock.Valid()) {
        *error = WSAGetLastError();
        TraceTo(tracer, "socket error(%d)", *error);
        return ConnectFailed;
    }
    // The connect, the data and the close all signal the one event; the
    // selection also makes the socket non-blocking.
    if (WSAEventSelect(connection->sock.Get(), connection->event.Get(), FD_CONNECT | FD_READ | FD_CLOSE) != 0) {
        *error = WSAGetLastError();
        TraceTo(tracer, "WSAEventSelect Error(%d)", *error);
        connection->sock.Close();
        return ConnectFailed;
    }
    ConnectEnd end = ConnectTo(connection, address, control, error);
    if (end != ConnectMade) {
        if (end == ConnectFailed)
            TraceTo(tracer, "connect error(%d)", *error);
        connection->sock.Close();
        connection->peerClosed = false;
        connection->readPending = false;
        return end;
    }
    ApplyKeepAlive(connection->sock.Get(), target.keepAliveSeconds, tracer);
    return ConnectMade;
}

} // namespace

ConnectEnd Connect(Connection* connection, const ConnectTarget& target, const WaitControl& control,
                   const Tracer& tracer, int* error)
{
    Disconnect(connection, tracer);
    connection->waitRanOut = false;
    *error = 0;
    if (winsockReady == 0 && !StartWinsock()) {
        TraceTo(tracer, "WinSock Error");
        *error = WSASYSNOTREADY;
        return ConnectFailed;
    }
    std::vector<ServerAddress> addresses;
    ConnectEnd resolved = ResolveServer(target.server, target.port, control, &addresses, error);
    if (resolved == ConnectStopped || resolved == ConnectMessage)
        return resolved;
    if (resolved == ConnectFailed) {
        TraceAttempt(tracer, target.server, target.port, NULL);
        TraceTo(tracer, "connect error(%d)", *error);
        return ConnectFailed;
    }
    connection->event.Attach(WSACreateEvent());
    if (!connection->event.Valid()) {
        *error = WSAGetLastError();
        TraceTo(tracer, "WSACreateEvent Error(%d)", *error);
        return ConnectFailed;
    }
    for (const ServerAddress& address : addresses) {
        TraceAttempt(tracer, target.server, target.port, &address);
        ConnectEnd end = TryAddress(connection, address, target, control, tracer, error);
        if (end == ConnectMade) {
            TraceTo(tracer, "Connected(%x)", 0);
            return ConnectMade;
        }
        if (end != ConnectFailed) {
            connection->event.Close();
            return end;
        }
    }
    connection->event.Close();
    return ConnectFailed;
}

void Disconnect(Connection* connection, const Tracer& tracer)
{
    connection->event.Close();
    if (connection->sock.Valid()) {
        connection->sock.Close();
        TraceTo(tracer, "CloseSocket");
    }
    connection->peerClosed = false;
    connection->readPending = false;
}

int ReceiveSome(Connection* connection, char* buffer, int size, const Tracer& tracer)
{
    int count = recv(connection->sock.Get(), buffer, size, 0);
    if (count > 0)
        return count;
    if (count == 0)
        return 0;
    int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK)
        return -1;
    TraceTo(tracer, "recv error(%d)", error);
    return -2;
}

bool SendAll(Connection* connection, const char* bytes, size_t count)
{
    // Commands are short: the socket's buffer takes them whole, or the
    // connection is in trouble.
    int sent = send(connection->sock.Get(), bytes, static_cast<int>(count), 0);
    if (sent == static_cast<int>(count))
        return true;
    if (sent >= 0)
        WSASetLastError(WSAENOBUFS);
    return false;
}

bool BytesWaiting(Connection* connection, bool lineEnd)
{
    u_long waiting = 0;
    if (ioctlsocket(connection->sock.Get(), FIONREAD, &waiting) != 0 || waiting == 0)
        return false;
    if (!lineEnd)
        return true;
    char peeked[4096];
    int count = recv(connection->sock.Get(), peeked, sizeof peeked, MSG_PEEK);
    return count > 0 && memchr(peeked, '\n', static_cast<size_t>(count)) != NULL;
}
