// The TCP transport under one watcher's IMAP dialogue. Worker thread only.
#pragma once

#include <winsock2.h>
#include <windows.h>

struct Watcher;

// Results of WaitForData, passed up unchanged by the line reader.
enum WaitResult {
    WaitData = 0,    // bytes arrived (or a stop request ended the wait)
    WaitTimeout = 1, // the time-out elapsed without data
    WaitClosed = 2,  // the peer closed, or there is no connection
    WaitFailed = 3,  // the wait, the event enumeration or recv failed
};

bool StartWinsock();
SOCKET ConnectServer(const char* name, int port, Watcher* watcher);
bool OpenConnection(Watcher* watcher);
void CloseConnection(Watcher* watcher);
// Waits in 50 ms polls that look at stopRequested; timeoutMs 0 waits
// without limit.
int WaitForData(Watcher* watcher, DWORD timeoutMs);
bool ReceiveChunk(Watcher* watcher);
