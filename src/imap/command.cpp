#include "imap/command.h"

#include <string.h>

#include <vector>

#include "diag/format.h"
#include "diag/trace.h"
#include "host/commands.h"
#include "imap/transport.h"
#include "watch/watcher.h"

namespace {

// The password never reaches the trace.
const char PasswordMask[] = "****";

std::string ExpectedTag(const Watcher* watcher)
{
    std::string tag;
    FormatString(tag, "C%03X", static_cast<unsigned>(watcher->tagCounter) & 0xFFF);
    return tag;
}

bool IsTaggedWith(const std::string& line, const std::string& tag)
{
    return strncmp(line.c_str(), tag.c_str(), 4) == 0;
}

// The text after "Cxxx ", whatever the fifth character is; a line that is
// only the tag has none, and that counts as a failed completion.
std::string StatusText(const std::string& line)
{
    return line.size() > 5 ? line.substr(5) : std::string();
}

bool SendBytes(Watcher* watcher, const std::string& bytes)
{
    int sent = send(watcher->sock, bytes.data(), static_cast<int>(bytes.size()), 0);
    if (sent == static_cast<int>(bytes.size()))
        return true;
    Trace(watcher, "send error(%d)", WSAGetLastError());
    CloseConnection(watcher);
    return false;
}

HWND FrontWindow(Watcher* watcher)
{
    AcquireSRWLockShared(&watcher->windowsLock);
    HWND window = watcher->windows.empty() ? NULL : watcher->windows.front();
    ReleaseSRWLockShared(&watcher->windowsLock);
    return window;
}

enum ArgumentForm { Atom, Quoted, Literal };

ArgumentForm FormOf(const std::string& text)
{
    if (text.empty())
        return Quoted;
    ArgumentForm form = Atom;
    for (unsigned char c : text) {
        if (c == '\r' || c == '\n' || c == '\0' || c >= 0x80)
            return Literal;
        if (c < 0x20 || c == 0x7F || strchr(" \"\\(){}%*]", c) != NULL)
            form = Quoted;
    }
    return form;
}

// Appends an argument to the command being built. A literal ends the
// current piece with its announcement "{n}"; its bytes start the next piece,
// which is sent after the server's continuation.
void AppendArgument(std::vector<std::string>& pieces, const std::string& text)
{
    switch (FormOf(text)) {
    case Atom:
        pieces.back() += text;
        break;
    case Quoted:
        pieces.back() += '"';
        for (char c : text) {
            if (c == '"' || c == '\\')
                pieces.back() += '\\';
            pieces.back() += c;
        }
        pieces.back() += '"';
        break;
    case Literal:
        pieces.back() += "{" + std::to_string(text.size()) + "}";
        pieces.push_back(text);
        break;
    }
}

} // namespace

bool StartsWith(const std::string& text, const char* prefix)
{
    size_t length = strlen(prefix);
    return text.size() >= length && text.compare(0, length, prefix) == 0;
}

bool HasUnreadByte(const Watcher* watcher)
{
    return watcher->recvLen != 0 && watcher->recvLen > watcher->recvPos;
}

DWORD ResponseTimeoutMs(const Watcher* watcher)
{
    return static_cast<DWORD>(watcher->recvTimeout) * 1000u;
}

void DropPartialLine(Watcher* watcher)
{
    watcher->partialLine.clear();
}

bool SendCommand(const std::string& text, Watcher* watcher)
{
    ++watcher->tagCounter;
    watcher->recvLen = 0;
    DropPartialLine(watcher);
    std::string line;
    FormatString(line, "C%03X %s\r\n", static_cast<unsigned>(watcher->tagCounter) & 0xFFF, text.c_str());
    Trace(watcher, "%s", line.c_str());
    return SendBytes(watcher, line);
}

bool SendDone(Watcher* watcher)
{
    watcher->recvLen = 0;
    DropPartialLine(watcher);
    Trace(watcher, "Send:%s", "DONE");
    return SendBytes(watcher, "DONE\r\n");
}

int SendLogin(Watcher* watcher, std::string* status)
{
    ++watcher->tagCounter;
    watcher->recvLen = 0;
    DropPartialLine(watcher);
    std::string tag = ExpectedTag(watcher);

    std::vector<std::string> pieces(1, "LOGIN ");
    AppendArgument(pieces, watcher->user);
    pieces.back() += ' ';
    // Traced as it goes out up to the password, which is masked.
    std::string traced = tag + " ";
    for (const std::string& piece : pieces)
        traced += piece + (&piece == &pieces.back() ? "" : "\r\n");
    Trace(watcher, "%s", (traced + PasswordMask + "\r\n").c_str());
    AppendArgument(pieces, watcher->pass);

    for (size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0) {
            // Wait for the server's go-ahead for the literal announced last.
            std::string line;
            for (;;) {
                if (ReadLine(watcher, line, ResponseTimeoutMs(watcher)) != WaitData) {
                    if (watcher->stopRequested == 0)
                        CloseConnection(watcher);
                    return 0;
                }
                if (StartsWith(line, "+"))
                    break;
                if (IsTaggedWith(line, tag)) {
                    *status = StatusText(line);
                    return -1;
                }
            }
        }
        std::string bytes = (i == 0 ? tag + " " : std::string()) + pieces[i] + "\r\n";
        if (!SendBytes(watcher, bytes))
            return 0;
    }
    return 1;
}

int ReadLine(Watcher* watcher, std::string& out, DWORD timeoutMs)
{
    for (;;) {
        if (!HasUnreadByte(watcher)) {
            int waited = WaitForData(watcher, timeoutMs);
            if (waited != WaitData)
                return waited; // the partial line stays for the next read
            if (!HasUnreadByte(watcher))
                return WaitClosed; // a stop request ended the wait; no byte arrived
        }
        unsigned char c = static_cast<unsigned char>(watcher->recvBuffer[watcher->recvPos++]);
        if (c == '\n')
            break;
        if (c < 0x20 || c > 0x7E)
            continue;
        if (watcher->partialLine.size() < MaxLineBytes)
            watcher->partialLine += static_cast<char>(c);
    }
    std::string line;
    line.swap(watcher->partialLine);
    Trace(watcher, "Recv:%s", line.c_str());
    out.swap(line);
    return WaitData;
}

bool ReadTaggedResult(Watcher* watcher, std::string& status)
{
    std::string tag = ExpectedTag(watcher);
    std::string line;
    while (watcher->stopRequested == 0) {
        if (ReadLine(watcher, line, ResponseTimeoutMs(watcher)) != WaitData)
            return false;
        if (StartsWith(line, "C") && IsTaggedWith(line, tag)) {
            status = StatusText(line);
            return true;
        }
    }
    return false;
}

int CheckTaggedCompletion(Watcher* watcher, std::string line)
{
    if (!IsTaggedWith(line, ExpectedTag(watcher)))
        return 0;
    if (StartsWith(StatusText(line), "OK"))
        return 1;
    CloseConnection(watcher);
    NotifyConnectFailed(watcher);
    return -1;
}

void NotifyMailArrived(Watcher* watcher)
{
    if (watcher->stopRequested != 0)
        return;
    HWND window = FrontWindow(watcher);
    if (window == NULL)
        return;
    if (watcher->debug != 0) {
        SYSTEMTIME now;
        GetLocalTime(&now);
        Trace(watcher, "%02d:%02d:%02d.%03d Received MAIL", now.wHour, now.wMinute, now.wSecond,
              now.wMilliseconds);
    }
    PostMessageA(window, WM_COMMAND, MailArrivedCommand, 0);
}

void NotifyConnectFailed(Watcher* watcher)
{
    if (watcher->connectNoticePending == 0)
        return;
    HWND window = FrontWindow(watcher);
    if (window != NULL) {
        Trace(watcher, "Connect failed");
        PostMessageA(window, WM_COMMAND, ConnectFailedCommand, 0);
    }
    watcher->connectNoticePending = 0;
}

void NotifyLoginFailed(Watcher* watcher)
{
    // Off until new settings arrive: no further login attempts.
    AcquireSRWLockExclusive(&watcher->settingsLock);
    watcher->use = 0;
    ReleaseSRWLockExclusive(&watcher->settingsLock);
    HWND window = FrontWindow(watcher);
    if (window != NULL) {
        Trace(watcher, "Login failed");
        PostMessageA(window, WM_COMMAND, LoginFailedCommand, 0);
    }
}
