// One connection attempt of a watch: the name lookup and the connect, TLS
// as the settings say, the greeting, the capabilities, STARTTLS, LOGIN,
// SELECT and the start of IDLE (or polling, on a server without it). Every
// way it can end is decided by the policy (state.h) through outcome.h.
// Worker thread only.
#pragma once

#include "watch/session.h"

void Attempt(Session* session);
