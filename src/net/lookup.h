// The name lookup of a server on a helper thread, so that the worker can
// stop, or serve its messages, while a lookup hangs.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <string>
#include <vector>

#include "net/address.h"

// Looks `name` up on a helper thread and waits for its answer or for
// `stopEvent`. True with the addresses in the order the system gave them;
// false with the reason in *error: the system's error when the name did not
// resolve, WSAHOST_NOT_FOUND when no helper could start, WSAEINTR when the
// stop, a thread message (with threadMessages; *messageCame is then set) or
// a failed wait ended the wait, which leaves the lookup to finish on its own.
bool LookUpName(const std::string& name, int port, HANDLE stopEvent, bool threadMessages,
                std::vector<ServerAddress>* addresses, int* error, bool* messageCame);
