// The IDLE watch cycle of one watcher: log in, select INBOX, wait in IDLE,
// renew it, reconnect after failures, and announce new mail. Worker thread
// only; the worker loop calls SessionStep once per pass.
#pragma once

struct Watcher;

void SessionStep(Watcher* watcher);
void StartSession(Watcher* watcher);
void PollIdle(Watcher* watcher);
void RenewIdle(Watcher* watcher);
