// The TCP transport under one session's IMAP dialogue. Worker thread only.
#pragma once

#include <windows.h>

#include <string>

#include "imap/session.h"

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
// A received byte still waits to be read; opened TLS bytes count.
bool HasUnreadByte(const Session* session);
// Puts opened TLS bytes into the receive buffer once it is used up.
void TakeOpenedBytes(Session* session);
// Sends bytes whole, sealed when the connection is encrypted. False when
// they could not go out (the error is the socket's, in WSAGetLastError).
bool SendOnConnection(Session* session, const std::string& bytes);
// Sends, whole, the handshake bytes the TLS channel has made. False when
// they could not go out (traced).
bool SendTlsTokens(Session* session);
// Runs the TLS handshake on the connected socket and checks the server's
// certificate against the settings. ReasonNone when the connection is now
// encrypted; otherwise why not, with the connection still open (the caller
// closes it), or ReasonNone with AttemptAbandoned when a stop or a thread
// message ended it.
ConnectFailReason StartTls(Session* session);
