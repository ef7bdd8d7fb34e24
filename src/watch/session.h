// One account's watch: connect, make the connection secure as the settings
// say, log in, select INBOX, wait in IDLE (or poll a server without it),
// renew it, check a connection that may be dead, reconnect after failures at
// a growing pace, and tell the owner of new mail and of failures worth a
// box. What it is doing is one WatchState (state.h), decided at the
// transitions; the layers below it only connect, encrypt and speak IMAP.
// Worker thread only, but for the stop request, the settings and the
// status, which other threads reach as noted.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

#include "config/settings.h"
#include "diag/handles.h"
#include "diag/trace_file.h"
#include "imap/client.h"
#include "imap/failure.h"
#include "net/connection.h"
#include "net/stream.h"
#include "tls/secure_stream.h"
#include "watch/link_checks.h"
#include "watch/state.h"
#include "watch/status.h"

// What the session tells its owner. Called on the worker thread; each call
// must return at once (it may only post a message). The owner decides where
// a notice goes and whether there is anyone to tell.
struct SessionEvents {
    void* owner;
    void (*mailArrived)(void* owner);
    void (*connectFailed)(void* owner, const ConnectFailure& failure);
    // IDLE (or polling) was reached after a connect; may be null.
    void (*idleReached)(void* owner);
    void (*loginFailed)(void* owner);
    // Before each connection attempt, on the worker thread: the owner may
    // take the keys only the file sets into the settings afresh (under
    // settingsLock held exclusively). May be null.
    void (*beforeAttempt)(void* owner);
};

// What an untagged EXISTS, EXPUNGE or RECENT means just now.
enum UnaskedMeaning {
    MeaningNothing,      // before SELECT
    MeaningSelect,       // SELECT: EXISTS is the message count, RECENT of 1 or more is mail
    MeaningIdle,         // IDLE, its start and its renewal: every EXISTS is mail
    MeaningPolling,      // polling: a message count that grew is mail
};

// What a session is for: the watch of an account, or one connection test
// (probe.h), whose dialogue ends with LOGOUT once INBOX is selected.
enum SessionPurpose {
    PurposeWatch,
    PurposeTest,
};

// How far a connection test got, once logged in.
struct TestReached {
    bool selected = false; // INBOX selected (LOGOUT was sent after it)
    bool idle = false;     // the capabilities after the login list IDLE
    std::string protocol;  // "TLS 1.2", "TLS 1.3"; "" for a plain connection
};

// Who writes each field is noted beside it: "owner" is the thread that made
// the session and asks it to stop (the host's thread for a watcher), "worker"
// the thread that steps it, "once" means set before the first step.
struct Session {
    int serial = 0;             // once: printed in every trace line
    SessionEvents events = {};  // once
    UniqueHandle stopEvent;     // once: manual-reset, set with stopRequested
    std::atomic<unsigned char> stopRequested{0}; // owner: read afresh at every wait

    // The settings the session runs with. The worker replaces them under
    // settingsLock held exclusively and reads them without it (it is the
    // only writer); other threads read them under settingsLock held shared.
    SRWLOCK settingsLock = SRWLOCK_INIT;
    Settings settings;
    // The trace's copy in the account's folder: the worker opens and closes
    // it as the logFile setting says; any thread's trace appends to it.
    TraceFile traceFile;

    // The connection and what speaks over it: worker only. `secure` exists
    // only once its certificate was accepted; the client speaks over it
    // then, and over `plain` only where the settings ask for no encryption.
    Connection connection;
    std::unique_ptr<PlainStream> plain;
    std::unique_ptr<SecureStream> secure;
    ImapClient client;

    // What the watch is doing, and what follows from it: worker only.
    WatchPolicy policy;
    UnaskedMeaning meaning = MeaningNothing;
    int messageCount = 0;            // INBOX's messages as the server last told them
    bool mailToldOnTheWay = false;   // mail was told between the connect and IDLE
    bool mailPending = false;        // mail was read, and is told before the next wait
    uint64_t idleSinceMs = 0;        // IDLE last started or renewed
    uint64_t partialHeldSinceMs = 0; // a due renewal waits for the end of a line since then (0: none)
    uint64_t lastPollMs = 0;         // the last NOOP of a polling session
    ConnectFailure failure;          // why the current attempt failed; reset when one starts
    // The account the session watches: one certificate check at a time runs
    // for it in the whole process. Set before the worker starts.
    std::string checkKey;
    SessionPurpose purpose = PurposeWatch; // once
    TestReached reached;                   // PurposeTest: worker

    // Whether an idle connection that says nothing is still there: worker.
    LinkChecks links;

    // What other threads may see of the watch, under statusLock.
    SRWLOCK statusLock = SRWLOCK_INIT;
    WatcherStatus status;
    // A window told of every new status with this message (the setup dialog
    // while it is open; NULL: none). Owner, under statusLock.
    HWND statusWindow = NULL;
    UINT statusMessage = 0;

    Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
};

// Makes the stop event; false when it could not be made.
bool InitSession(Session* session);

// Owner's thread: the session stops at its next wait, or at once in one.
void RequestStop(Session* session);
bool StopRequested(const Session* session);

// Writes "[serial]" and the message to the debugger output when the
// session's debug setting is on, and to its trace file while that is open.
// Worker thread (it reads the settings without the lock).
void Trace(const Session* session, const char* format, ...);
bool TraceEnabled(const Session* session);

// Every close pauses this long, to pace the next attempt.
const DWORD ClosePauseMs = 1000;

// Milliseconds of the monotonic clock the watch's times are kept in.
uint64_t NowMs();
// The trace, the waits and the time limits of the session's layers below.
Tracer TracerOf(Session* session);
WaitControl ControlOf(Session* session);
// recvTimeout in milliseconds: each answer of a command (0: no limit).
DWORD ResponseTimeoutMs(const Session* session);
// refreshTime in milliseconds: IDLE is renewed after this.
DWORD RenewAfterMs(const Session* session);
// A polling session asks this often: refreshTime, at most two minutes apart,
// at least a second.
DWORD PollEveryMs(const Session* session);
// The status other threads read, taken from the policy now; the status
// window, if any, is told.
void PublishStatus(Session* session);

// Another thread's copy of the status, under the lock.
WatcherStatus ReadStatus(Session* session);
