// What a watcher is doing, as one named state, and the decisions taken when
// it changes: how long the next attempt waits, whether a failure is told,
// whether reaching IDLE needs a check for mail. Pure: the caller passes the
// time (milliseconds of a monotonic clock), so that every rule can be tried
// with a fake clock.
#pragma once

#include <stdint.h>

#include <set>
#include <string>

#include "imap/failure.h"

enum WatchState {
    WatchSwitchedOff = 0, // "use" is 0: nothing is attempted until new settings
    WatchWaitingToRetry,  // the last attempt failed or the session was lost
    WatchConnecting,      // name lookup, connect, TLS and the greeting
    WatchLoggingIn,       // the login, SELECT and the start of IDLE
    WatchIdling,          // IDLE holds: the server tells new mail at once
    WatchPolling,         // a server without IDLE, asked with NOOP
    WatchLoginRefused,    // the server refused the login: off until new settings
};

// How a failed attempt or a lost session is told to the user.
enum FailureKind {
    FailureUnreachable, // the name did not resolve or no address answered: told from the third in a row
    FailureTold,        // told at once while the notice is pending (once, until new settings)
    FailureCertificate, // a refused certificate: told once for each certificate
    FailureQuiet,       // never told: the server cannot take the login now, or a session was lost
};

// The last failure, as the status and the connect-failed box show it.
struct FailureRecord {
    ConnectFailReason reason = ReasonNone;
    uint64_t atMs = 0;
    std::string fingerprint;
    bool happened = false;
};

struct WatchPolicy {
    WatchState state = WatchConnecting;
    uint64_t enteredAtMs = 0;     // when the state was entered
    uint64_t nextAttemptAtMs = 0; // WatchWaitingToRetry: when the next attempt starts
    uint32_t failuresInRow = 0;   // failed attempts and lost sessions since a session held a minute
    uint32_t unreachableInRow = 0; // lookup and connect failures since a connection was made
    bool connectNoticePending = true; // "connect failed" may still be told
    std::set<std::string> toldCertificates;
    FailureRecord lastFailure;
};

// A session that held IDLE (or polling) this long shows that the server
// takes it: a loss after it starts the count of failures afresh.
const uint32_t SteadySessionMs = 60000;

// How long the next attempt waits after `failures` failures in a row: 3 s
// for the first two, then twice as long each time, at most 5 min.
uint32_t RetryDelayMs(uint32_t failures);

// New settings (also the first ones): the next attempt comes at once, the
// count and the notices start afresh.
void SettingsChanged(WatchPolicy* policy, bool use, uint64_t nowMs);
// An attempt starts; a connection was made; the login begins.
void BeginAttempt(WatchPolicy* policy, uint64_t nowMs);
void ConnectionMade(WatchPolicy* policy);
void BeginLogin(WatchPolicy* policy, uint64_t nowMs);
// IDLE (or polling) is reached. Answers whether the mail check on reaching
// it is due: recvAtConnected asks for it, and no mail was told on the way.
bool SessionReached(WatchPolicy* policy, bool polling, bool recvAtConnected, bool mailToldOnTheWay,
                    uint64_t nowMs);

struct FailureDecision {
    bool tell;        // show the connect-failed box now
    uint32_t waitMs;  // until the next attempt
};
// The attempt failed, or the session was lost. The caller keeps the
// connection closed until nextAttemptAtMs.
FailureDecision AttemptFailed(WatchPolicy* policy, FailureKind kind, const FailureRecord& failure);
// The server refused the login: the watcher stops until new settings.
void LoginRefused(WatchPolicy* policy, uint64_t nowMs);
// How long until the next attempt may start; 0 when it may start now.
uint32_t UntilNextAttemptMs(const WatchPolicy& policy, uint64_t nowMs);
