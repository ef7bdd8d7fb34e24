// The name lookup of a server on a helper thread, so that the worker can
// stop while a lookup hangs. Worker thread only.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <string>
#include <vector>

// One address to try, as the system gave it.
struct ServerAddress {
    sockaddr_storage address;
    int length;
};

// Looks `name` up on a helper thread and waits for its answer or for
// `stopEvent`. True with the addresses in the order the system gave them;
// false with the reason in *error: the system's error when the name did not
// resolve, WSAHOST_NOT_FOUND when no helper could start, WSAEINTR when the
// stop, a thread message (with threadMessages; *messageCame is then set) or
// a failed wait ended the wait, which leaves the lookup to finish on its own.
bool LookUpName(const std::string& name, int port, HANDLE stopEvent, bool threadMessages,
                std::vector<ServerAddress>* addresses, int* error, bool* messageCame);

// A numeric address (dotted IPv4, as inet_addr reads it, or an IPv6 literal)
// resolved at once, without a lookup. False for a name.
bool NumericAddress(const std::string& name, int port, ServerAddress* address);
