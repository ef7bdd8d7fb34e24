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

// What a lookup needs and gives, shared by the worker and the helper thread
// that runs getaddrinfo. The last of the two to let go frees it, so a helper
// whose worker stopped waiting never touches freed memory: it ends when its
// blocking call returns.
struct PendingLookup;

// Starts looking up `name` on a helper thread. Null when the thread could
// not be started.
PendingLookup* StartLookup(const std::string& name, int port);
// Signalled once the lookup has its result.
HANDLE LookupDone(PendingLookup* lookup);
// The addresses in the order the system gave them, once LookupDone is
// signalled; false, with the system's error in *error, when the name did
// not resolve.
bool LookupResult(PendingLookup* lookup, std::vector<ServerAddress>* addresses, int* error);
// The worker lets go of the lookup, finished or not.
void ReleaseLookup(PendingLookup* lookup);

// A numeric address (dotted IPv4, as inet_addr reads it, or an IPv6 literal)
// resolved at once, without a lookup. False for a name.
bool NumericAddress(const std::string& name, int port, ServerAddress* address);
