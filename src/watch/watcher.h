// The record of one watched mail account, shared by the registry, the worker
// thread, the transport, the IMAP layers and the trace.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

// Who writes each field is noted beside it. "host" is the host's
// user-interface thread, "worker" the watcher's own thread, "once" means
// written by InitWatcher before the worker starts and never again.
struct Watcher {
    // Folder windows in order of attachment; the front one gets the notices.
    // host, under windowsLock; the worker reads the front entry under it.
    std::vector<HWND> windows;
    SRWLOCK windowsLock = SRWLOCK_INIT;

    std::string account;          // once: registry key, the host's account folder
    HANDLE threadHandle = NULL;   // once
    DWORD threadId = 0;           // once
    HMODULE module = NULL;        // once: the worker's reference on the plug-in
    int serial = 0;               // once: printed in every trace line
    std::atomic<unsigned char> threadEnded{0};   // worker: its last touch of the record
    std::atomic<unsigned char> stopRequested{0}; // host: polled at every wait

    // The nine settings. The worker replaces them under settingsLock held
    // exclusively and reads them without it (it is the only writer); other
    // threads read them under settingsLock held shared.
    SRWLOCK settingsLock = SRWLOCK_INIT;
    int use = 0;
    std::string server;
    int port = 0;
    std::string user;
    std::string pass;
    int refreshTime = 12; // minutes between IDLE renewals

    // Connection: worker only.
    char recvBuffer[1024];
    int recvPos = 0;     // next unread byte of recvBuffer
    int recvLen = 0;     // valid bytes in recvBuffer
    SOCKET sock = INVALID_SOCKET;
    WSAEVENT netEvent = NULL;
    unsigned char retryPending = 0;   // the last connection attempt failed
    DWORD lastAttemptTick = 0;        // start of the last connection attempt
    DWORD connectFailures = 0;        // consecutive failed connects
    DWORD idleSinceTick = 0;          // IDLE last started or renewed

    int recvTimeout = 20;     // settings (see above): seconds per response line
    int debug = 0;            // settings: non-zero writes the trace
    int recvAtConnected = 1;  // settings: check for mail once IDLE is reached

    int sessionState = 0;     // worker: 0 not logged in, 1 in IDLE
    int tagCounter = 0;       // worker: number of the last tagged command
    unsigned char connectNoticePending = 1; // worker: "Connect failed" may still be posted

    // Worker: the peer's close has been seen, and every later wait on this
    // connection reports it at once.
    bool peerClosed = false;

    // Worker: the start of a response line whose LF has not arrived yet. It
    // outlives a poll's time-out and is dropped when a command is sent or
    // the connection closes.
    std::string partialLine;
};
