// The test run's private Dovecot on 127.0.0.1, driven through its control
// service (tests/dovecot/dovecotctl.py, started by the dovecot_start fixture).
// The ports come from the environment that require_dovecot() gives a test:
// QVPUSH_DOVECOT_PORT and QVPUSH_DOVECOT_CONTROL.
//
// Every call is one short TCP connection to the control port: one request
// line, one reply line. Calls may come from any thread. Every test process of
// the run shares the one server, so each test makes its own users with
// UniqueUser; Stop and Start affect everyone, and a test that uses them must
// run alone (require_dovecot's SERIAL option).
#pragma once

#include <windows.h>

#include <string>

namespace dovecot {

// The IMAP port on 127.0.0.1; 0 when the environment does not name it.
int ImapPort();

// A user name of [a-z0-9_] that no other call, in this process or in any
// other process of the run, returns: the prefix (lower-cased, other
// characters replaced by '_') with the process and a counter appended.
std::string UniqueUser(const char* prefix);

// Adds the user, or replaces its password. The password may hold any
// printable character but ':'; it reaches Dovecot byte for byte. With
// selectFails the user logs in, but SELECT INBOX answers NO. Replacing a
// password takes up to a second, until Dovecot is sure to read it again.
bool AddUser(const std::string& user, const std::string& password, bool selectFails = false);

// Delivers one small mail into the user's INBOX. Returns the time right
// after the delivery ended in milliseconds of QueryPerformanceCounter, the
// clock of MonotonicMs() (support/script_server.h) and standin::NowMs(), or a
// negative value on failure. A client in IDLE hears * N EXISTS about half a
// second later.
double Deliver(const std::string& user, const std::string& subject);

// Successful IMAP logins of the user since the run began, from Dovecot's log;
// -1 on failure. The log line can trail the client's tagged OK by a moment:
// to see a count grow, wait for it with WaitLogins.
int Logins(const std::string& user);
// The user's IMAP sessions open now, or -1. A session counts from its login
// until its imap process has ended, which trails a close by a moment.
int Connections(const std::string& user);
// Wait until the count equals `count`; false when the time-out comes first.
bool WaitLogins(const std::string& user, int count, DWORD timeoutMs = 10000);
bool WaitConnections(const std::string& user, int count, DWORD timeoutMs = 10000);

// Disconnects every session of the user; each gets * BYE first.
bool Kick(const std::string& user);

// Stops Dovecot; returns once its port refuses connections. Open sessions
// are ended. Users and mail are kept for Start.
bool Stop();
// Kills every Dovecot process at once with SIGKILL: no session says BYE.
// Returns once its port refuses connections.
bool Kill();
// Starts it again; returns once its port accepts connections.
bool Start();

// Why the last failed call of this thread failed (the service's ERR text, or
// what went wrong on the way), for test failure messages.
std::string LastError();

} // namespace dovecot
