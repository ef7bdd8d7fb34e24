#include <winsock2.h>
#include <windows.h>

#include "support/dovecot.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace dovecot {

namespace {

// Starting the Dovecot's processes or a delivery can take seconds on a busy
// machine; the service itself gives up on Dovecot after at most a minute.
const DWORD ReplyTimeoutMs = 120000;

thread_local std::string lastError;

bool Fail(const std::string& reason)
{
    lastError = reason;
    return false;
}

class Connection {
public:
    Connection() = default;
    ~Connection()
    {
        if (socket_ != INVALID_SOCKET)
            closesocket(socket_);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool Open(int port)
    {
        socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (socket_ == INVALID_SOCKET)
            return Fail("socket failed: " + std::to_string(WSAGetLastError()));
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return Fail("no control service on 127.0.0.1:" + std::to_string(port) + " (error " +
                        std::to_string(WSAGetLastError()) + ")");
        return true;
    }

    bool SendAll(const std::string& bytes)
    {
        size_t sent = 0;
        while (sent < bytes.size()) {
            int n = send(socket_, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
            if (n <= 0)
                return Fail("send to the control service failed: " + std::to_string(WSAGetLastError()));
            sent += static_cast<size_t>(n);
        }
        return true;
    }

    bool ReadLine(std::string* line, DWORD timeoutMs)
    {
        DWORD start = GetTickCount();
        line->clear();
        for (;;) {
            DWORD elapsed = GetTickCount() - start;
            if (elapsed >= timeoutMs)
                return Fail("no reply from the control service within " + std::to_string(timeoutMs) + " ms");
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(socket_, &readable);
            DWORD left = timeoutMs - elapsed;
            timeval wait = {static_cast<long>(left / 1000), static_cast<long>(left % 1000) * 1000};
            int ready = select(0, &readable, NULL, NULL, &wait);
            if (ready < 0)
                return Fail("select failed: " + std::to_string(WSAGetLastError()));
            if (ready == 0)
                continue;
            char chunk[512];
            int n = recv(socket_, chunk, sizeof chunk, 0);
            if (n <= 0)
                return Fail("the control service closed the connection without a reply");
            line->append(chunk, static_cast<size_t>(n));
            size_t end = line->find('\n');
            if (end != std::string::npos) {
                line->resize(end);
                if (!line->empty() && line->back() == '\r')
                    line->pop_back();
                return true;
            }
        }
    }

private:
    SOCKET socket_ = INVALID_SOCKET;
};

bool StartWinsock()
{
    static const bool ready = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}

int PortFromEnvironment(const char* name)
{
    const char* value = getenv(name);
    return value ? atoi(value) : 0;
}

// Words on the wire are percent-encoded, so that spaces, quotes and any
// other byte of a password or a subject survive the line protocol.
std::string Encode(const std::string& word)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : word) {
        if ((c < 0x80 && isalnum(c)) || c == '_' || c == '.' || c == '@' || c == '-') {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += hex[c >> 4];
            encoded += hex[c & 15];
        }
    }
    return encoded;
}

// Sends one request and gives the text after "OK" (or after "OK ").
bool Request(const std::string& request, std::string* result = NULL)
{
    if (!StartWinsock())
        return Fail("WSAStartup failed");
    int port = PortFromEnvironment("QVPUSH_DOVECOT_CONTROL");
    if (port <= 0)
        return Fail("QVPUSH_DOVECOT_CONTROL is not set: the test lacks require_dovecot()");
    Connection connection;
    std::string reply;
    if (!connection.Open(port) || !connection.SendAll(request + "\r\n") ||
        !connection.ReadLine(&reply, ReplyTimeoutMs))
        return false;
    if (reply.compare(0, 2, "OK") != 0)
        return Fail(request.substr(0, request.find(' ')) + ": " + reply);
    if (result)
        *result = reply.size() > 3 ? reply.substr(3) : std::string();
    return true;
}

int CountRequest(const char* verb, const std::string& user)
{
    std::string count;
    if (!Request(std::string(verb) + " " + Encode(user), &count))
        return -1;
    return atoi(count.c_str());
}

bool WaitCount(const char* verb, const std::string& user, int count, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    int seen = -1;
    for (;;) {
        seen = CountRequest(verb, user);
        if (seen == count)
            return true;
        if (GetTickCount() - start >= timeoutMs)
            break;
        Sleep(20); // the next poll; the condition is re-checked, not assumed
    }
    if (seen >= 0)
        Fail(std::string(verb) + " stayed at " + std::to_string(seen) + ", not " + std::to_string(count));
    return false;
}

} // namespace

int ImapPort()
{
    return PortFromEnvironment("QVPUSH_DOVECOT_PORT");
}

std::string UniqueUser(const char* prefix)
{
    // The process id alone does not do: Wine hands out the ids of ended
    // processes again. The counter value at the first call tells apart two
    // processes that had the same id one after the other.
    static std::atomic<unsigned> counter(0);
    static const unsigned long long started = [] {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return static_cast<unsigned long long>(now.QuadPart);
    }();
    std::string name;
    for (const char* p = prefix; p && *p && name.size() < 24; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        name += (isalnum(c) && c < 0x80) ? static_cast<char>(tolower(c)) : '_';
    }
    char suffix[64];
    snprintf(suffix, sizeof suffix, "_%lx_%llx_%u", static_cast<unsigned long>(GetCurrentProcessId()), started,
             ++counter);
    return name + suffix;
}

bool AddUser(const std::string& user, const std::string& password, bool selectFails)
{
    return Request("USER " + Encode(user) + " " + Encode(password) + (selectFails ? " selectfail" : ""));
}

double Deliver(const std::string& user, const std::string& subject)
{
    std::string when;
    if (!Request("DELIVER " + Encode(user) + " " + Encode(subject), &when))
        return -1.0;
    return strtod(when.c_str(), NULL);
}

int Logins(const std::string& user)
{
    return CountRequest("LOGINS", user);
}

int Connections(const std::string& user)
{
    return CountRequest("CONNECTIONS", user);
}

bool WaitLogins(const std::string& user, int count, DWORD timeoutMs)
{
    return WaitCount("LOGINS", user, count, timeoutMs);
}

bool WaitConnections(const std::string& user, int count, DWORD timeoutMs)
{
    return WaitCount("CONNECTIONS", user, count, timeoutMs);
}

bool Kick(const std::string& user)
{
    return Request("KICK " + Encode(user));
}

bool Stop()
{
    return Request("STOP");
}

bool Kill()
{
    return Request("KILL");
}

bool Start()
{
    return Request("START");
}

std::string LastError()
{
    return lastError;
}

} // namespace dovecot
