#include "imap/session.h"

#include <limits.h>

#include <string>

#include "diag/trace.h"
#include "imap/command.h"
#include "imap/transport.h"
#include "watch/watcher.h"

// New mail is recognised in three ways only: a RECENT count of 1 or more in
// the SELECT response; once on reaching IDLE after a connect, when
// recvAtConnected asks for it and the first way did not fire; and any line
// with "EXISTS" while idling (an untagged one while IDLE is being renewed).
//
// A stop request ends the dialogue at the next wait: nothing more is sent,
// closed or announced, and the worker closes the connection on its way out.

namespace {

const DWORD RetryPauseMs = 3000;
const DWORD GreetingTimeoutMs = 20000;
const DWORD IdlePollMs = 100;

bool Stopping(const Watcher* watcher)
{
    return watcher->stopRequested != 0;
}

// The count of an untagged RECENT line such as "* 3 RECENT": the digits from
// index 2 on, right after the asterisk and one space. Anything else is 0.
int RecentCount(const std::string& line)
{
    int count = 0;
    for (size_t i = 2; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
        int digit = line[i] - '0';
        count = count > (INT_MAX - digit) / 10 ? INT_MAX : count * 10 + digit;
    }
    return count;
}

// Reads the responses to the last command up to its tagged completion,
// handing every untagged line to `untagged`; other lines are skipped.
// 1: completed with OK; -1: completed with a failure, and the connection is
// closed; 0: a read failed.
template <typename UntaggedLine> int ReadCompletion(Watcher* watcher, UntaggedLine untagged)
{
    std::string line;
    for (;;) {
        if (ReadLine(watcher, line, ResponseTimeoutMs(watcher)) != WaitData)
            return 0;
        if (StartsWith(line, "*")) {
            untagged(line);
        } else if (StartsWith(line, "C")) {
            int completion = CheckTaggedCompletion(watcher, line);
            if (completion != 0)
                return completion;
        }
    }
}

// Reads lines until one begins with "+". False when a read failed.
bool WaitForContinuation(Watcher* watcher)
{
    std::string line;
    for (;;) {
        if (ReadLine(watcher, line, ResponseTimeoutMs(watcher)) != WaitData)
            return false;
        if (StartsWith(line, "+"))
            return true;
    }
}

} // namespace

void SessionStep(Watcher* watcher)
{
    if (watcher->use == 0) {
        if (watcher->retryPending) {
            watcher->retryPending = 0;
            watcher->connectFailures = 0;
        }
        return;
    }
    if (watcher->sock == INVALID_SOCKET) {
        if (watcher->retryPending && GetTickCount() - watcher->lastAttemptTick < RetryPauseMs)
            return;
        watcher->lastAttemptTick = GetTickCount();
        if (!OpenConnection(watcher)) {
            watcher->retryPending = 1;
            return;
        }
        watcher->retryPending = 0;
    }
    if (watcher->sessionState != 1) {
        StartSession(watcher);
        return;
    }
    // Never renew while received bytes wait to be read. The period is
    // refreshTime minutes as a 32-bit product, compared unsigned.
    DWORD renewAfterMs = static_cast<DWORD>(watcher->refreshTime) * 60000u;
    if (!HasUnreadByte(watcher) && GetTickCount() - watcher->idleSinceTick >= renewAfterMs)
        RenewIdle(watcher);
    else
        PollIdle(watcher);
}

void StartSession(Watcher* watcher)
{
    std::string line;

    // Any untagged line is the greeting, a "* BYE" included.
    do {
        if (ReadLine(watcher, line, GreetingTimeoutMs) != WaitData) {
            if (Stopping(watcher))
                return;
            NotifyConnectFailed(watcher);
            CloseConnection(watcher);
            return;
        }
    } while (!StartsWith(line, "*"));

    std::string status;
    int sent = SendLogin(watcher, &status);
    if (sent == 0) {
        if (!Stopping(watcher))
            NotifyConnectFailed(watcher);
        return;
    }
    if (sent == 1 && !ReadTaggedResult(watcher, status)) {
        // The connection stays; the next step waits for a greeting again.
        if (!Stopping(watcher))
            NotifyConnectFailed(watcher);
        return;
    }
    if (!StartsWith(status, "OK")) {
        CloseConnection(watcher);
        NotifyLoginFailed(watcher);
        return;
    }

    if (!SendCommand("SELECT INBOX", watcher)) {
        NotifyConnectFailed(watcher);
        return;
    }
    bool recentSeen = false;
    int selected = ReadCompletion(watcher, [&](const std::string& untagged) {
        if (untagged.find("RECENT") != std::string::npos && RecentCount(untagged) >= 1) {
            NotifyMailArrived(watcher);
            recentSeen = true;
        }
    });
    if (selected == 0) {
        if (Stopping(watcher))
            return;
        CloseConnection(watcher);
        NotifyConnectFailed(watcher);
        return;
    }
    if (selected == -1)
        return;

    if (!SendCommand("IDLE", watcher)) {
        NotifyConnectFailed(watcher);
        return;
    }
    // Untagged lines before the continuation, EXISTS among them, are skipped;
    // so is a tagged rejection, until the wait times out.
    if (!WaitForContinuation(watcher)) {
        if (Stopping(watcher))
            return;
        CloseConnection(watcher);
        NotifyConnectFailed(watcher);
        return;
    }
    if (!recentSeen && watcher->recvAtConnected != 0)
        NotifyMailArrived(watcher);
    Trace(watcher, "IDLE mode");
    watcher->connectNoticePending = 0;
    watcher->sessionState = 1;
    watcher->idleSinceTick = GetTickCount();
}

void PollIdle(Watcher* watcher)
{
    std::string line;
    int result = ReadLine(watcher, line, IdlePollMs);
    if (result == WaitTimeout)
        return;
    if (result != WaitData) {
        // sessionState stays 1 until the next connect resets it.
        if (!Stopping(watcher))
            CloseConnection(watcher);
        return;
    }
    if (line.find("EXISTS") != std::string::npos)
        NotifyMailArrived(watcher);
}

void RenewIdle(Watcher* watcher)
{
    if (!SendDone(watcher))
        return;
    // DONE has no tag: the completion awaited is that of the IDLE command.
    int completed = ReadCompletion(watcher, [&](const std::string& untagged) {
        if (untagged.find("EXISTS") != std::string::npos)
            NotifyMailArrived(watcher);
    });
    if (completed == 0) {
        if (!Stopping(watcher))
            CloseConnection(watcher);
        return;
    }
    if (completed == -1)
        return;
    if (!SendCommand("IDLE", watcher))
        return;
    if (!WaitForContinuation(watcher)) {
        if (!Stopping(watcher))
            CloseConnection(watcher);
        return;
    }
    watcher->idleSinceTick = GetTickCount();
}
