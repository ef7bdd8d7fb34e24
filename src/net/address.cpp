#include "net/address.h"

#include <string.h>

bool NumericAddress(const std::string& name, int port, ServerAddress* address)
{
    memset(address, 0, sizeof *address);
    // inet_addr also reads the short forms (127.1, 0x7f.0.0.1) that a
    // settings file may hold.
    unsigned long ipv4 = inet_addr(name.c_str());
    if (ipv4 != INADDR_NONE || name == "255.255.255.255") {
        sockaddr_in* in = reinterpret_cast<sockaddr_in*>(&address->address);
        in->sin_family = AF_INET;
        in->sin_port = htons(static_cast<u_short>(port));
        in->sin_addr.s_addr = ipv4;
        address->length = sizeof(sockaddr_in);
        return true;
    }
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* result = NULL;
    if (getaddrinfo(name.c_str(), NULL, &hints, &result) != 0 || result == NULL)
        return false;
    bool found = result->ai_addr != NULL && result->ai_addrlen <= sizeof(sockaddr_storage);
    if (found) {
        memcpy(&address->address, result->ai_addr, result->ai_addrlen);
        address->length = static_cast<int>(result->ai_addrlen);
        reinterpret_cast<sockaddr_in6*>(&address->address)->sin6_port = htons(static_cast<u_short>(port));
    }
    freeaddrinfo(result);
    return found;
}

bool IsAddressLiteral(const char* server)
{
    in_addr v4;
    in6_addr v6;
    return inet_pton(AF_INET, server, &v4) == 1 || inet_pton(AF_INET6, server, &v6) == 1;
}
