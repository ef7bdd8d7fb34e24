// Server addresses as the connection takes them: a numeric address read at
// once, or one of the addresses a lookup gave.
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

// A numeric address (dotted IPv4, as inet_addr reads it, also its short
// forms, or an IPv6 literal) resolved at once, without a lookup. False for a
// name.
bool NumericAddress(const std::string& name, int port, ServerAddress* address);
// Whether the text is an IPv4 or IPv6 address in its usual form rather than
// a name: such a server is never sent as a TLS server name.
bool IsAddressLiteral(const char* server);
