#include "imap/transport.h"

#include <string.h>

#include <atomic>

#include "diag/trace.h"
#include "imap/command.h"
#include "watch/watcher.h"

namespace {

// Set by the first successful start; Windows Sockets is never shut down.
// Several workers may start it at once on first use, which is harmless.
std::atomic<unsigned char> winsockReady{0};

const DWORD PollMs = 50;
const DWORD ClosePauseMs = 1000;

// Connects as a blocking connect would, with the system's own time-out, but
// looks at stopRequested every 50 ms: a server that does not answer must not
// keep the host's thread, which waits for this worker when its window
// closes, for the minutes a connect may take. 0 when connected, else the
// socket error (WSAEINTR when a stop request ended the attempt).
int ConnectUntilStopped(SOCKET sock, const sockaddr_in& server, Watcher* watcher)
{
    u_long nonBlocking = 1;
    ioctlsocket(sock, FIONBIO, &nonBlocking);
    int error = 0;
    if (connect(sock, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
        error = WSAGetLastError();
        while (error == WSAEWOULDBLOCK) {
            if (watcher->stopRequested != 0) {
                error = WSAEINTR;
                break;
            }
            fd_set writable;
            fd_set failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(sock, &writable);
            FD_SET(sock, &failed);
            timeval poll = {0, static_cast<long>(PollMs * 1000)};
            int ready = select(0, NULL, &writable, &failed, &poll);
            if (ready == SOCKET_ERROR) {
                error = WSAGetLastError();
            } else if (FD_ISSET(sock, &failed)) {
                int length = sizeof error;
                if (getsockopt(sock, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0 ||
                    error == 0)
                    error = WSAECONNREFUSED;
            } else if (FD_ISSET(sock, &writable)) {
                error = 0;
            }
        }
    }
    u_long blocking = 0;
    ioctlsocket(sock, FIONBIO, &blocking);
    return error;
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

SOCKET ConnectServer(const char* name, int port, Watcher* watcher)
{
    unsigned long address = inet_addr(name);
    // An empty name would resolve to this machine itself: it stays
    // unresolved, like any other name that is no server.
    if (address == INADDR_NONE && name[0] != '\0') {
        hostent* host = gethostbyname(name);
        if (host != NULL && host->h_addrtype == AF_INET && host->h_addr_list[0] != NULL)
            memcpy(&address, host->h_addr_list[0], sizeof address);
    }
    Trace(watcher, "connect to(%s,%d,%x)", name, port, static_cast<unsigned>(address));

    SOCKET sock = socket(AF_INET, SOCK_STREAM, 0);
    if (sock == INVALID_SOCKET) {
        Trace(watcher, "socket error(%d)", WSAGetLastError());
        return INVALID_SOCKET;
    }
    sockaddr_in server;
    memset(&server, 0, sizeof server);
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<u_short>(port));
    server.sin_addr.s_addr = address;
    int error = ConnectUntilStopped(sock, server, watcher);
    if (error != 0) {
        Trace(watcher, "connect error(%d)", error);
        closesocket(sock);
        return INVALID_SOCKET;
    }
    return sock;
}

bool OpenConnection(Watcher* watcher)
{
    if (winsockReady == 0 && !StartWinsock()) {
        Trace(watcher, "WinSock Error");
        Sleep(ClosePauseMs);
        return false;
    }
    watcher->sock = ConnectServer(watcher->server.c_str(), watcher->port, watcher);
    // An attempt ended by a stop request is no failure of the server: it is
    // neither counted nor paused for.
    if (watcher->sock == INVALID_SOCKET && watcher->stopRequested != 0)
        return false;
    if (watcher->sock == INVALID_SOCKET) {
        // Counted until a live socket is closed; from the third failure on,
        // each one pauses and tells the user (while a notice is pending).
        if (++watcher->connectFailures >= 3) {
            CloseConnection(watcher);
            NotifyConnectFailed(watcher);
        }
        return false;
    }
    watcher->netEvent = WSACreateEvent();
    if (watcher->netEvent == NULL) {
        Trace(watcher, "WSACreateEvent Error(%d)", WSAGetLastError());
        CloseConnection(watcher);
        return false;
    }
    // This also makes the socket non-blocking.
    if (WSAEventSelect(watcher->sock, watcher->netEvent, FD_READ | FD_CLOSE) != 0) {
        Trace(watcher, "WSAEventSelect Error(%d)", WSAGetLastError());
        CloseConnection(watcher);
        return false;
    }
    watcher->sessionState = 0;
    watcher->tagCounter = 0;
    Trace(watcher, "Connected(%x)", 0);
    return true;
}

void CloseConnection(Watcher* watcher)
{
    if (watcher->netEvent != NULL) {
        WSACloseEvent(watcher->netEvent);
        watcher->netEvent = NULL;
    }
    if (watcher->sock != INVALID_SOCKET) {
        closesocket(watcher->sock);
        watcher->sock = INVALID_SOCKET;
        watcher->connectFailures = 0;
        Trace(watcher, "CloseSocket");
    }
    // Nothing of this connection may be read as the next one's: unread
    // bytes, a partial line and a pending close all go with it.
    watcher->recvPos = 0;
    watcher->recvLen = 0;
    watcher->peerClosed = false;
    DropPartialLine(watcher);
    Sleep(ClosePauseMs);
}

int WaitForData(Watcher* watcher, DWORD timeoutMs)
{
    if (watcher->sock == INVALID_SOCKET || watcher->netEvent == NULL) {
        Trace(watcher, "param error(%x,%x)", static_cast<unsigned>(watcher->sock),
              static_cast<unsigned>(reinterpret_cast<UINT_PTR>(watcher->netEvent)));
        return WaitClosed;
    }
    if (watcher->peerClosed) {
        // FD_CLOSE was seen (alone, or with the last data) and is not
        // signalled again: take what the socket still holds, then report
        // the close.
        int count = recv(watcher->sock, watcher->recvBuffer, sizeof watcher->recvBuffer, 0);
        if (count > 0) {
            watcher->recvLen = count;
            watcher->recvPos = 0;
            return WaitData;
        }
        Trace(watcher, "## Connection Closed");
        return WaitClosed;
    }
    DWORD start = GetTickCount();
    int result = WaitData;
    while (watcher->stopRequested == 0 && result == WaitData) {
        DWORD waited = WaitForMultipleObjects(1, &watcher->netEvent, FALSE, PollMs);
        if (waited == WAIT_OBJECT_0) {
            WSANETWORKEVENTS events;
            if (WSAEnumNetworkEvents(watcher->sock, watcher->netEvent, &events) != 0) {
                Trace(watcher, "WSAEnumNetworkEvents Failed");
                result = WaitFailed;
            } else if (events.lNetworkEvents & FD_READ) {
                if (!ReceiveChunk(watcher))
                    return WaitFailed;
                if (events.lNetworkEvents & FD_CLOSE)
                    watcher->peerClosed = true;
                return WaitData;
            } else if (events.lNetworkEvents & FD_CLOSE) {
                // Signalled once only: a later wait on this connection (the
                // greeting wait after a login without answer) must not wait
                // out its time-out for a peer that is gone.
                watcher->peerClosed = true;
                Trace(watcher, "## Connection Closed");
                result = WaitClosed;
            }
        } else if (waited == WAIT_TIMEOUT) {
            if (timeoutMs != 0 && GetTickCount() - start >= timeoutMs) {
                if (timeoutMs >= 1000)
                    Trace(watcher, "recv timeout(%d)", static_cast<int>(timeoutMs));
                result = WaitTimeout;
            }
        } else if (waited == WAIT_FAILED) {
            Trace(watcher, "WSAWaitForMultipleEvents Failed(%d,%x)", static_cast<int>(GetLastError()),
                  static_cast<unsigned>(reinterpret_cast<UINT_PTR>(watcher->netEvent)));
            result = WaitFailed;
        }
    }
    return result;
}

bool ReceiveChunk(Watcher* watcher)
{
    int count = recv(watcher->sock, watcher->recvBuffer, sizeof watcher->recvBuffer, 0);
    if (count >= 1) {
        watcher->recvLen = count;
        watcher->recvPos = 0;
        return true;
    }
    int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK)
        Trace(watcher, "recv error: Socket WSAEWOULDBLOCK");
    else
        Trace(watcher, "recv error(%d)", error);
    return false;
}
