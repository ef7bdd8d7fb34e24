// One TCP connection of a worker: the name lookup, a connect to each of the
// server's addresses in turn until one answers, keepalive, and the socket's
// network events, which signal one event for the worker's one wait. No
// protocol is spoken here. Worker thread only.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>

#include "diag/handles.h"
#include "diag/trace.h"
#include "net/wait.h"

struct SocketTraits {
    typedef SOCKET Type;
    static SOCKET Invalid() { return INVALID_SOCKET; }
    static void Close(SOCKET sock) { closesocket(sock); }
};
typedef UniqueResource<SocketTraits> UniqueSocket;

struct WsaEventTraits {
    typedef WSAEVENT Type;
    static WSAEVENT Invalid() { return WSA_INVALID_EVENT; }
    static void Close(WSAEVENT event) { WSACloseEvent(event); }
};
typedef UniqueResource<WsaEventTraits> UniqueWsaEvent;

struct Connection {
    UniqueSocket sock;
    UniqueWsaEvent event;      // FD_CONNECT, FD_READ and FD_CLOSE of sock
    bool peerClosed = false;   // the close was seen; every later wait reports it
    bool readPending = false;  // data came with the connect: read before waiting
    // The last wait for the peer's bytes ended at its time limit. Kept past
    // the close, until the next connect, so that the owner can tell a peer
    // that went silent from one that closed or failed.
    bool waitRanOut = false;

    bool Open() const { return sock.Valid(); }
};

struct ConnectTarget {
    std::string server; // a name, or a numeric address
    int port = 0;
    int keepAliveSeconds = 0;
};

enum ConnectEnd {
    ConnectMade,    // connected, keepalive set, "Connected(0)" traced
    ConnectFailed,  // the name did not resolve or no address answered (*error)
    ConnectStopped, // the stop ended the attempt
    ConnectMessage, // a thread message ended the attempt: the worker serves it first
};

// Resolves the server (a name on a helper thread), connects to its addresses
// in order until one answers. All the addresses of one lookup make one
// attempt. Every wait in it ends at the stop and at a thread message.
ConnectEnd Connect(Connection* connection, const ConnectTarget& target, const WaitControl& control,
                   const Tracer& tracer, int* error);
// Closes the socket and its event ("CloseSocket" traced when there was a
// socket) and forgets the connection's state.
void Disconnect(Connection* connection, const Tracer& tracer);

// Reads what the socket holds into `buffer`, without waiting. More than 0:
// that many bytes; 0: the peer closed; -1: nothing to read; -2: failed
// (traced).
int ReceiveSome(Connection* connection, char* buffer, int size, const Tracer& tracer);
// Sends all of the bytes. False when they could not go out (the socket's
// error is in WSAGetLastError).
bool SendAll(Connection* connection, const char* bytes, size_t count);
// Whether bytes wait on the socket; with `lineEnd`, whether an end of line
// is among the first of them (a plain connection's bytes can be looked at).
bool BytesWaiting(Connection* connection, bool lineEnd);
