// One account's IMAP session: log in, select INBOX, wait in IDLE, renew it,
// reconnect after failures, and announce new mail. Worker thread only, but
// for the stop request and the settings, which the owner's thread reads and
// raises as noted.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <set>
#include <string>

#include "config/settings.h"
#include "diag/handles.h"
#include "imap/liveness.h"
#include "imap/tls.h"
#include "imap/wire.h"

struct NetworkSignal;

// Why a connection attempt failed, when there is more to say than that the
// server could not be reached.
enum ConnectFailReason {
    ReasonNone = 0,
    ReasonPinMismatch,    // the certificate is not the pinned one
    ReasonCertUntrusted,  // its issuer is not trusted
    ReasonCertName,       // its names do not match the server
    ReasonCertExpired,    // outside its validity period
    ReasonTls,            // the encrypted connection could not be made
    ReasonLoginDisabled,  // the server refuses LOGIN without encryption
    ReasonTlsSetting,     // "tls" in the file is not 0, 1 or 2
    ReasonPinSetting,     // "tlsFingerprint" in the file is not 64 hex digits
};

struct ConnectFailure {
    ConnectFailReason reason = ReasonNone;
    std::string fingerprint; // SHA-256 of the server's certificate, when one was seen
};

// What the session tells its owner. Called on the worker thread; each call
// must return at once (it may only post a message). The owner decides where
// a notice goes and whether there is anyone to tell.
struct SessionEvents {
    void* owner;
    void (*mailArrived)(void* owner);
    void (*connectFailed)(void* owner, const ConnectFailure& failure);
    // IDLE was reached after a connect; may be null.
    void (*idleReached)(void* owner);
    void (*loginFailed)(void* owner);
    // Before each connection attempt, on the worker thread: the owner may
    // take the keys only the file sets into the settings afresh (under
    // settingsLock held exclusively). May be null.
    void (*beforeAttempt)(void* owner);
};

struct SocketTraits {
    typedef SOCKET Type;
    static SOCKET Invalid() { return INVALID_SOCKET; }
    static void Close(SOCKET sock) { closesocket(sock); }
};
typedef UniqueResource<SocketTraits> UniqueSocket;

struct WsaEventTraits {
    typedef WSAEVENT Type;
    static WSAEVENT Invalid() { return WSA_INVALID_EVENT; }
    static void Close(WSAEVENT event) { WSACloseEvent(event); }
};
typedef UniqueResource<WsaEventTraits> UniqueWsaEvent;

// Received bytes not yet taken by the line reader, and the start of a line
// whose LF has not arrived yet (with a literal under way in it). The partial
// line outlives a wait's time-out; it is dropped when a command is sent or
// the connection closes.
struct ReceiveBuffer {
    char bytes[1024];
    int pos = 0; // next unread byte
    int len = 0; // valid bytes
    PartialLine partialLine;
};

// Who writes each field is noted beside it: "owner" is the thread that made
// the session and asks it to stop (the host's thread for a watcher), "worker"
// the thread that steps it, "once" means set before the first step.
struct Session {
    int serial = 0;             // once: printed in every trace line
    SessionEvents events = {};  // once
    UniqueHandle stopEvent;     // once: manual-reset, set with stopRequested
    std::atomic<unsigned char> stopRequested{0}; // owner: read afresh at every wait
    // worker: a thread message came while the attempt waited for the
    // server; the attempt ends without a word so that the worker serves it.
    bool interrupted = false;

    // The settings the session runs with. The worker replaces them under
    // settingsLock held exclusively and reads them without it (it is the
    // only writer); other threads read them under settingsLock held shared.
    SRWLOCK settingsLock = SRWLOCK_INIT;
    Settings settings;

    // The connection: worker only.
    UniqueSocket sock;
    UniqueWsaEvent netEvent;
    ReceiveBuffer received;
    TlsChannel tls;             // the encryption, once tlsActive
    bool tlsActive = false;     // the handshake is done: bytes on the socket are TLS records
    bool certificateAccepted = false; // this connection's certificate passed the check
    bool peerClosed = false;    // the close was seen; every later wait reports it
    bool readPending = false;   // data was reported with the connect: read before waiting
    unsigned char retryPending = 0;  // the last attempt failed, or the session dropped
    DWORD failureTick = 0;           // when the last attempt failed or the session dropped
    DWORD failuresInRow = 0;         // failures and drops since IDLE last held a minute
    DWORD idleReachedTick = 0;       // IDLE reached after the last connect
    DWORD connectFailures = 0;       // consecutive failed connects
    DWORD idleSinceTick = 0;         // IDLE last started or renewed
    bool partialHeld = false;        // a due renewal waits for the end of a line...
    DWORD partialHeldSince = 0;      // ...since then
    int sessionState = 0;            // 0 not in IDLE yet, 1 in IDLE, 2 polling with NOOP
    int messageCount = 0;            // INBOX's messages as the server last told them
    DWORD lastPollTick = 0;          // the last NOOP of a polling session
    int tagCounter = 0;              // number of the last tagged command
    unsigned char connectNoticePending = 1; // "Connect failed" may still be told
    std::set<std::string> toldCertificates; // fingerprints of refused certificates already told
    bool mailPending = false;        // new mail was read and is told before the next wait
    ConnectFailure failure;          // why the current attempt failed; reset when one starts

    // Whether an idle connection that says nothing is still there: worker.
    LinkWatch link;
    NetworkSignal* networkSignal = nullptr; // the address-change request, once made
    ClockReading (*readClocks)() = nullptr; // once: null reads the system's clocks

    Session();
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
};

// Makes the stop event; false when it could not be made.
bool InitSession(Session* session);
// How long the next attempt waits after `failures` failures or drops in a
// row: 3 s for the first two, then twice as long each time, at most 5 min.
DWORD RetryDelayMs(DWORD failures);
// New settings: the next attempt comes at once, and backoff starts over.
void ForgetFailures(Session* session);

// Owner's thread: the session stops at its next wait, or at once in one.
void RequestStop(Session* session);
bool StopRequested(const Session* session);
// The attempt in progress ends without a notice and is no failure: a stop,
// or a thread message for the worker (new settings) came during a wait.
bool AttemptAbandoned(const Session* session);

// Writes "[serial]" and the message when the session's debug setting is on.
// Worker thread (it reads the settings without the lock).
void Trace(const Session* session, const char* format, ...);
bool TraceEnabled(const Session* session);

// One step of the session. Answers how long the caller may wait for a
// thread message or the stop before the next step when nothing else
// happens: 0 to step again at once, INFINITE while the session is off.
DWORD SessionStep(Session* session);
void StartSession(Session* session);
void PollIdle(Session* session);
// A session on a server without IDLE: NOOP every refreshTime minutes, at
// most two minutes apart, and new mail when the message count grew.
void PollNoop(Session* session);
void RenewIdle(Session* session);
// Ends IDLE and starts it again, each answer within the response time-out
// (20 s where that is no limit); else the connection is closed.
void CheckConnection(Session* session);

// An attempt that broke off where the dialogue cannot be taken up again (an
// exception in a step, whatever it left half done): the connection closes,
// and unless a stop ended it the attempt counts as failed, so the next one
// waits as after any failure. Nothing is told to the user. Never throws.
void AbandonAttempt(Session* session);
