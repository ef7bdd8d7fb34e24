// Texts the user reads about a failed connection: the connect-failed box's
// line that says why, shared by the box, the setup dialog's status line and
// its connection test.
#pragma once

#include <windows.h>
#include <stdint.h>

#include <string>

#include "imap/failure.h"

// The line that tells the user what went wrong; NULL when there is nothing
// to add to "IMAP4サーバーへ接続できません".
const char* ConnectFailReasonLine(ConnectFailReason reason);
// A FILETIME (UTC) as the user's local time; false when it cannot be told.
bool LocalSystemTime(const FILETIME& utc, SYSTEMTIME* local);
// A FILETIME value (UTC) as the user's local "YYYY/MM/DD HH:MM"; "?" when
// unknown.
std::string LocalTimeText(uint64_t fileTime);
