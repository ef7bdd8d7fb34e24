#include "fault/relay.h"

#include <utility>

#include "standin/host.h"

namespace {

struct Pair {
    SOCKET a;
    SOCKET b;
    int number;                      // 1 for the first connection forwarded
    const std::atomic<int>* silencedUpTo;
};

sockaddr_in Loopback(int port)
{
    sockaddr_in address;
    ZeroMemory(&address, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(port));
    return address;
}

// Readable within the time: 1; 0 on time-out; -1 on failure.
int WaitReadable(SOCKET socket, DWORD ms)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval wait = {static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
    return select(0, &readable, NULL, NULL, &wait);
}

} // namespace

Relay::Relay(int targetPort) : targetPort_(targetPort)
{
    InitializeCriticalSection(&lock_);
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = Loopback(0);
    int length = sizeof address;
    if (listener_ == INVALID_SOCKET || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 1) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return;
    port_ = ntohs(address.sin_port);
    // Connect until one attempt goes unanswered: the queue is full then.
    for (int i = 0; i < 16 && !blocked_; ++i) {
        SOCKET filler = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        u_long nonBlocking = 1;
        ioctlsocket(filler, FIONBIO, &nonBlocking);
        connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(filler, &writable);
        timeval wait = {0, 500 * 1000};
        blocked_ = select(0, NULL, &writable, NULL, &wait) == 0;
        fillers_.push_back(filler);
    }
}

Relay::~Relay()
{
    stopping_ = true;
    if (acceptThread_ != NULL) {
        WaitForSingleObject(acceptThread_, INFINITE);
        CloseHandle(acceptThread_);
    }
    EnterCriticalSection(&lock_);
    for (SOCKET s : sockets_)
        shutdown(s, SD_BOTH);
    LeaveCriticalSection(&lock_);
    for (HANDLE thread : threads_) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    for (SOCKET s : sockets_)
        closesocket(s);
    for (SOCKET s : fillers_)
        closesocket(s);
    if (listener_ != INVALID_SOCKET)
        closesocket(listener_);
    DeleteCriticalSection(&lock_);
}

void Relay::Open()
{
    // A queue of one would hold back clients again: connects that hung
    // together complete together, and a handshake whose last ACK finds the
    // queue full counts as connected on the client's side while the relay
    // never sees it. Listening again raises the backlog of the listener.
    listen(listener_, SOMAXCONN);
    // Our own fillers go first: closing them frees the queue, and whatever
    // they got into is accepted and dropped below.
    for (SOCKET s : fillers_)
        closesocket(s);
    standin::Log("relay: open, %d fillers closed", static_cast<int>(fillers_.size()));
    fillers_.clear();
    acceptThread_ = CreateThread(NULL, 0, AcceptLoop, this, 0, NULL);
}

DWORD WINAPI Relay::AcceptLoop(LPVOID parameter)
{
    Relay* relay = static_cast<Relay*>(parameter);
    while (!relay->stopping_) {
        if (WaitReadable(relay->listener_, 50) != 1)
            continue;
        SOCKET client = accept(relay->listener_, NULL, NULL);
        if (client == INVALID_SOCKET)
            continue;
        // A filler that was closed before it was accepted has already sent
        // its FIN: nothing to forward, and nothing waits for an answer.
        char peek;
        if (WaitReadable(client, 0) == 1 && recv(client, &peek, 1, MSG_PEEK) == 0) {
            standin::Log("relay: dropped a closed filler");
            closesocket(client);
            continue;
        }
        SOCKET target = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = Loopback(relay->targetPort_);
        if (connect(target, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            standin::Log("relay: the target refused (%d); the client is closed", WSAGetLastError());
            closesocket(target);
            closesocket(client);
            continue;
        }
        Pair* pair = new Pair{client, target, relay->forwarded_.load() + 1, &relay->silencedUpTo_};
        EnterCriticalSection(&relay->lock_);
        relay->sockets_.push_back(client);
        relay->sockets_.push_back(target);
        relay->threads_.push_back(CreateThread(NULL, 0, Pump, pair, 0, NULL));
        LeaveCriticalSection(&relay->lock_);
        ++relay->forwarded_;
        standin::Log("relay: forwarding connection %d", relay->forwarded_.load());
    }
    return 0;
}

DWORD WINAPI Relay::Pump(LPVOID parameter)
{
    Pair pair = *static_cast<Pair*>(parameter);
    delete static_cast<Pair*>(parameter);
    char buffer[16384];
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(pair.a, &readable);
        FD_SET(pair.b, &readable);
        if (select(0, &readable, NULL, NULL, NULL) <= 0)
            break;
        SOCKET from = FD_ISSET(pair.a, &readable) ? pair.a : pair.b;
        SOCKET to = from == pair.a ? pair.b : pair.a;
        int n = recv(from, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        if (pair.number <= pair.silencedUpTo->load())
            continue;
        for (int sent = 0; sent < n;) {
            int k = send(to, buffer + sent, n - sent, 0);
            if (k <= 0)
                return 0;
            sent += k;
        }
    }
    // One side ended: end the other as well.
    shutdown(pair.a, SD_BOTH);
    shutdown(pair.b, SD_BOTH);
    return 0;
}
