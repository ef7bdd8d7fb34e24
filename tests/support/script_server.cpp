#include "support/script_server.h"

#include <ws2tcpip.h>

namespace {

bool StartWinsock()
{
    static const bool ready = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}

DWORD Remaining(DWORD start, DWORD timeoutMs)
{
    DWORD elapsed = GetTickCount() - start;
    return elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
}

// Waits until the socket is readable (data, end of stream or a reset, or a
// pending connection on a listener): 1, 0 on time-out, -1 on failure.
int WaitReadable(SOCKET socket, DWORD timeoutMs)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval wait = {static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
    return select(0, &readable, NULL, NULL, &wait);
}

} // namespace

double MonotonicMs()
{
    static const double frequency = [] {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return static_cast<double>(value.QuadPart);
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1000.0 / frequency;
}

ScriptServer::ScriptServer(bool ipv6)
{
    if (!StartWinsock())
        return;
    listener_ = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener_ == INVALID_SOCKET)
        return;
    sockaddr_storage address = {};
    int length;
    if (ipv6) {
        sockaddr_in6* in6 = reinterpret_cast<sockaddr_in6*>(&address);
        in6->sin6_family = AF_INET6;
        in6->sin6_addr = in6addr_loopback;
        length = sizeof *in6;
    } else {
        sockaddr_in* in = reinterpret_cast<sockaddr_in*>(&address);
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof *in;
    }
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(listener_, SOMAXCONN) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        StopListening();
        return;
    }
    port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                       : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

ScriptServer::~ScriptServer()
{
    CloseClient(false);
    StopListening();
}

int ScriptServer::Port() const
{
    return port_;
}

bool ScriptServer::Accept(DWORD timeoutMs)
{
    CloseClient(false);
    if (listener_ == INVALID_SOCKET || WaitReadable(listener_, timeoutMs) != 1)
        return false;
    client_ = accept(listener_, NULL, NULL);
    if (client_ == INVALID_SOCKET)
        return false;
    acceptedAt_.push_back(MonotonicMs());
    // Each Send goes out as it is, so that a script can split a line over
    // two sends and the client really receives two pieces.
    BOOL noDelay = TRUE;
    setsockopt(client_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
    return true;
}

int ScriptServer::Accepted() const
{
    return static_cast<int>(acceptedAt_.size());
}

double ScriptServer::AcceptedAtMs(int index) const
{
    return index >= 0 && index < Accepted() ? acceptedAt_[static_cast<size_t>(index)] : -1.0;
}

bool ScriptServer::Send(const std::string& bytes)
{
    if (client_ == INVALID_SOCKET)
        return false;
    size_t sent = 0;
    while (sent < bytes.size()) {
        int n = send(client_, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

ScriptServer::Fill ScriptServer::FillBuffer(DWORD start, DWORD timeoutMs)
{
    if (client_ == INVALID_SOCKET || ended_)
        return Ended;
    int ready = WaitReadable(client_, Remaining(start, timeoutMs));
    if (ready == 0)
        return TimedOut;
    char chunk[4096];
    int n = ready > 0 ? recv(client_, chunk, sizeof chunk, 0) : -1;
    if (n <= 0) {
        ended_ = true; // end of stream, a reset, or a failed wait
        return Ended;
    }
    received_.append(chunk, static_cast<size_t>(n));
    return Filled;
}

bool ScriptServer::ReadLine(std::string* line, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        size_t end = received_.find('\n');
        if (end != std::string::npos) {
            size_t length = end > 0 && received_[end - 1] == '\r' ? end - 1 : end;
            lastLine_ = received_.substr(0, length);
            received_.erase(0, end + 1);
            *line = lastLine_;
            return true;
        }
        Fill fill = FillBuffer(start, timeoutMs);
        if (fill != Filled) {
            lastLine_ = fill == TimedOut ? "(no line: time-out)" : "(no line: connection closed)";
            line->clear();
            return false;
        }
    }
}

bool ScriptServer::ReadBytes(size_t count, std::string* bytes, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (received_.size() < count) {
        if (FillBuffer(start, timeoutMs) != Filled) {
            bytes->clear();
            return false;
        }
    }
    *bytes = received_.substr(0, count);
    received_.erase(0, count);
    return true;
}

std::string ScriptServer::ExpectCommand(const std::string& text, DWORD timeoutMs)
{
    std::string line;
    if (!ReadLine(&line, timeoutMs))
        return std::string();
    size_t space = line.find(' ');
    if (space == 0 || space == std::string::npos || line.compare(space + 1, std::string::npos, text) != 0)
        return std::string();
    return line.substr(0, space);
}

const std::string& ScriptServer::LastLine() const
{
    return lastLine_;
}

bool ScriptServer::WaitClosed(DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        Fill fill = FillBuffer(start, timeoutMs);
        if (fill == Ended)
            return client_ != INVALID_SOCKET;
        if (fill == TimedOut)
            return false;
    }
}

void ScriptServer::Close()
{
    CloseClient(false);
}

void ScriptServer::Reset()
{
    CloseClient(true);
}

void ScriptServer::CloseClient(bool abortive)
{
    if (client_ == INVALID_SOCKET)
        return;
    if (abortive) {
        // Linger on with a zero time-out: closing sends RST instead of FIN.
        linger off = {1, 0};
        setsockopt(client_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&off), sizeof off);
    } else {
        // FIN first. Closing a socket with unread bytes would send a reset
        // instead, so take what already arrived.
        shutdown(client_, SD_SEND);
        char chunk[4096];
        while (WaitReadable(client_, 0) == 1 && recv(client_, chunk, sizeof chunk, 0) > 0) {
        }
    }
    closesocket(client_);
    client_ = INVALID_SOCKET;
    received_.clear();
    ended_ = false;
}

bool ScriptServer::Listening() const
{
    return listener_ != INVALID_SOCKET;
}

void ScriptServer::StopListening()
{
    if (listener_ != INVALID_SOCKET) {
        closesocket(listener_);
        listener_ = INVALID_SOCKET;
    }
}
