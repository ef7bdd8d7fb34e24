// The IMAP command layer of one watcher: tagged commands and DONE going
// out, response lines coming in, and the session's notices to the host.
// Worker thread only.
#pragma once

#include <windows.h>

#include <string>

struct Watcher;

bool SendCommand(const std::string& text, Watcher* watcher);
bool SendDone(Watcher* watcher);

// LOGIN with the watcher's user and password as IMAP astrings (atom, quoted
// string or literal). 1: the whole command went out; 0: the connection
// failed and is closed; -1: the server completed the command before it
// went out whole, with the status text in *status.
int SendLogin(Watcher* watcher, std::string* status);

// One response line, with only the bytes 0x20 to 0x7E kept and at most
// MaxLineBytes of them. 0 when a line was delivered, else the wait's code.
int ReadLine(Watcher* watcher, std::string& out, DWORD timeoutMs);
bool ReadTaggedResult(Watcher* watcher, std::string& status);
// 1: the last command completed with OK; 0: not its completion; -1: it
// completed with a failure, and the connection is closed.
int CheckTaggedCompletion(Watcher* watcher, std::string line);
bool StartsWith(const std::string& text, const char* prefix);

void NotifyMailArrived(Watcher* watcher);
void NotifyConnectFailed(Watcher* watcher);
void NotifyLoginFailed(Watcher* watcher);

// A received byte still waits to be read.
bool HasUnreadByte(const Watcher* watcher);
// recvTimeout in milliseconds, for every response wait of a command.
DWORD ResponseTimeoutMs(const Watcher* watcher);
// Forgets the start of a line whose end has not arrived.
void DropPartialLine(Watcher* watcher);

// A hostile server cannot make a line grow without bound: longer lines keep
// their first MaxLineBytes bytes.
const size_t MaxLineBytes = 64 * 1024;
