// What a watcher is doing, as another thread may read it: a copy taken
// under the watcher's lock, consistent in itself. The setup dialog shows it.
#pragma once

#include <windows.h>

#include "imap/failure.h"
#include "watch/state.h"

struct WatcherStatus {
    WatchState state = WatchConnecting;
    FILETIME since = {};       // when the state was entered (system time, UTC)
    FILETIME nextAttempt = {}; // WatchWaitingToRetry: when the next attempt starts
    int pollMinutes = 0;       // WatchPolling: the minutes between two polls
    bool failed = false;       // a failure is recorded below
    ConnectFailure lastFailure;
};
