// A scripted IMAP server inside the test process. The test thread plays the
// server step by step (accept, send exact bytes, read what the client sent),
// while the client under test runs on a thread of its own. Every wait has a
// deadline; nothing sleeps for a fixed time.
//
// It listens on loopback at an ephemeral port and serves one client at a
// time. What a client sends is buffered: a read that times out keeps the
// bytes it got, and the next read goes on from them.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

// A greeting that lists the server's capabilities: a client in plain text
// goes straight to its LOGIN (C001). After a bare "* OK" greeting it asks
// CAPABILITY first (C001), and the LOGIN is C002.
const char GreetingWithCapabilities[] = "* OK [CAPABILITY IMAP4rev1] ready\r\n";

// Milliseconds of QueryPerformanceCounter: the clock of AcceptedAtMs, of
// dovecot::Deliver and of standin::NowMs.
double MonotonicMs();

class ScriptServer {
public:
    // Listens on 127.0.0.1, or on ::1 with ipv6, at an ephemeral port.
    explicit ScriptServer(bool ipv6 = false);
    ~ScriptServer(); // closes everything
    ScriptServer(const ScriptServer&) = delete;
    ScriptServer& operator=(const ScriptServer&) = delete;

    int Port() const;

    // Takes the next client; the previous one, if any, is closed first.
    bool Accept(DWORD timeoutMs = 10000);
    int Accepted() const;                 // clients accepted so far
    double AcceptedAtMs(int index) const; // MonotonicMs() of each accept

    // Raw bytes to the current client, all of them.
    bool Send(const std::string& bytes);
    // The next line from the client without its CR LF (or lone LF). False on
    // time-out or when the client closed or reset the connection.
    bool ReadLine(std::string* line, DWORD timeoutMs = 10000);
    // Exactly `count` raw bytes, as for an IMAP literal.
    bool ReadBytes(size_t count, std::string* bytes, DWORD timeoutMs = 10000);
    // Reads a line "TAG text" and returns TAG; returns "" when the line
    // differs or none came, and LastLine() then tells what came instead.
    std::string ExpectCommand(const std::string& text, DWORD timeoutMs = 10000);
    // The line that the last ReadLine or ExpectCommand read, or
    // "(no line: time-out)" / "(no line: connection closed)".
    const std::string& LastLine() const;

    // True once the client has closed (or reset) its end. Bytes that arrive
    // meanwhile stay readable.
    bool WaitClosed(DWORD timeoutMs = 10000);

    // Orderly close of the current client: it reads the end of the stream.
    void Close();
    // Abortive close (SO_LINGER 0): the connection is reset. On Windows the
    // client's next receive fails with WSAECONNRESET. Under Wine 8 the client
    // reads the end of the stream first (Wine's closesocket sends a FIN before
    // the RST, and its server takes the pending socket error), and its next
    // send fails with WSAECONNRESET.
    void Reset();

    bool Listening() const;
    void StopListening(); // new connection attempts are refused from now on

private:
    enum Fill { Filled, TimedOut, Ended };
    Fill FillBuffer(DWORD start, DWORD timeoutMs);
    void CloseClient(bool abortive);

    SOCKET listener_ = INVALID_SOCKET;
    SOCKET client_ = INVALID_SOCKET;
    int port_ = 0;
    std::string received_; // bytes from the client not yet read
    bool ended_ = false;   // the client closed or reset its end
    std::string lastLine_;
    std::vector<double> acceptedAt_;
};
