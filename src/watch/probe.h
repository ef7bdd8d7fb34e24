// One connection test of settings not yet saved, as the setup dialog asks for
// it: the watcher's own attempt (lookup, connect, TLS and the certificate
// check as the settings say, the capabilities, LOGIN) in a session of its
// own, which selects INBOX and logs out instead of idling. It refuses what
// the watcher refuses, writes nothing and touches no watcher. The session's
// stop (RequestStop, from any thread) ends it at its next wait.
#pragma once

#include <string>

#include "config/settings.h"
#include "imap/failure.h"
#include "watch/session.h"

// Each answer of the server is waited for at most this long, whatever
// recvTimeout says.
const int ProbeAnswerSeconds = 20;

enum ProbeEnd {
    ProbeSucceeded,    // logged in and INBOX selected
    ProbeLoginRefused, // the server refused the user name or the password
    ProbeFailed,       // see failure and noAnswer
    ProbeStopped,      // the stop ended it first
};

struct ProbeResult {
    ProbeEnd end = ProbeFailed;
    TestReached reached;    // ProbeSucceeded
    ConnectFailure failure; // ProbeFailed: why, as the connect-failed box tells it
    bool noAnswer = false;  // ProbeFailed: the server went silent past its time
};

// The owner's thread: readies the session for a test of `settings` (the
// values in range as the watcher takes them, each answer within
// ProbeAnswerSeconds). `checkKey` is the account's: the test shares the one
// certificate check at a time of the account's watcher. False when the
// session could not be made.
bool InitProbe(Session* session, const Settings& settings, const std::string& checkKey);
// The test's own thread: runs the attempt to its end and closes the
// connection.
ProbeResult RunProbe(Session* session);
