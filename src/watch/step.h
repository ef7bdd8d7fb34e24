// The watch as its worker drives it: one step at a time, new settings, and
// the end. Worker thread only.
#pragma once

#include <windows.h>

#include "config/settings.h"
#include "watch/session.h"

// One step of the session. Answers how long the caller may wait for a
// thread message or the stop before the next step when nothing else
// happens: 0 to step again at once, INFINITE while the session is off.
DWORD SessionStep(Session* session);

// New settings: the connection closes, and the next attempt comes at once
// with them; the count of failures and the notices start afresh.
void TakeNewSettings(Session* session, const Settings& settings);
// The settings the session starts with (no connection yet).
void TakeFirstSettings(Session* session, const Settings& settings);

// The worker's end: the connection closes and the checks end.
void EndSession(Session* session);

// An attempt that broke off where the dialogue cannot be taken up again (an
// exception in a step, whatever it left half done): the connection closes,
// and unless a stop ended it the attempt counts as failed, so the next one
// waits as after any failure. Nothing is told to the user. Never throws.
void AbandonAttempt(Session* session);
