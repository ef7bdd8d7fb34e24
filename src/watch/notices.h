// The notices a watcher's worker posts to the host's folder windows.
#pragma once

#include <windows.h>

#include <atomic>

// Identifiers the host returned when the plug-in registered its commands.
// Written once on the host's thread before any watcher exists, read by the
// workers.
extern std::atomic<UINT> MailArrivedCommand;
extern std::atomic<UINT> ConnectFailedCommand;
extern std::atomic<UINT> LoginFailedCommand;
