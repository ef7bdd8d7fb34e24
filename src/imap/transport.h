// The TCP transport under one session's IMAP dialogue. Worker thread only.
#pragma once

#include <windows.h>

struct Session;

// Results of the waits, passed up unchanged by the line reader.
enum WaitResult {
    WaitData = 0,    // bytes arrived (or a stop request ended the wait)
    WaitTimeout = 1, // the time-out elapsed without data
    WaitClosed = 2,  // the peer closed, or there is no connection
    WaitFailed = 3,  // the wait, the event enumeration or recv failed
    WaitThreadMessage = 4, // a thread message came (only the idle wait reports it)
    WaitLinkCheck = 5,     // the machine slept or the network changed: check the connection
                           // (only the idle wait reports it)
};

bool StartWinsock();
// Resolves the server (a name on a helper thread), connects to its addresses
// in order until one answers, and selects the network events. All the
// addresses of one lookup make one attempt. Every wait in it ends at a stop.
bool OpenConnection(Session* session);
// Closes the socket and its event, drops what was received, then pauses a
// second to pace the next attempt; a stop ends the pause at once.
void CloseConnection(Session* session);
// Waits for data on the connection until it arrives, the peer closes, the
// time-out elapses (0: no limit) or a stop is requested.
int WaitForData(Session* session, DWORD timeoutMs);
// The wait of an idling session: as WaitForData, but a thread message for
// the worker ends it too (WaitThreadMessage), so does a reason to check the
// connection (WaitLinkCheck), and a time-out is not traced.
int WaitForIdleEvent(Session* session, DWORD timeoutMs);
bool ReceiveChunk(Session* session);
// A received byte still waits to be read.
bool HasUnreadByte(const Session* session);
