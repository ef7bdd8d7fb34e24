#include "net/lookup.h"

#include <string.h>

#include <new>

#include "net/helper_thread.h"

namespace {

// What the lookup needs and gives, shared with the helper thread that runs
// getaddrinfo.
struct LookupWork {
    std::string name;
    std::string service;
    int error = 0;
    addrinfo* result = NULL;

    ~LookupWork()
    {
        if (result != NULL)
            freeaddrinfo(result);
    }
};

void RunLookup(void* context)
{
    LookupWork* lookup = static_cast<LookupWork*>(context);
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* result = NULL;
    int error = getaddrinfo(lookup->name.c_str(), lookup->service.c_str(), &hints, &result);
    lookup->error = error;
    lookup->result = error == 0 ? result : NULL;
}

void DisposeLookup(void* context)
{
    delete static_cast<LookupWork*>(context);
}

// The addresses of a finished lookup, in the order the system gave them.
bool TakeAddresses(const LookupWork& lookup, std::vector<ServerAddress>* addresses, int* error)
{
    *error = lookup.error;
    if (lookup.error != 0)
        return false;
    for (const addrinfo* entry = lookup.result; entry != NULL; entry = entry->ai_next) {
        if (entry->ai_addr == NULL || entry->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6)
            continue;
        ServerAddress address;
        memset(&address, 0, sizeof address);
        memcpy(&address.address, entry->ai_addr, entry->ai_addrlen);
        address.length = static_cast<int>(entry->ai_addrlen);
        addresses->push_back(address);
    }
    if (addresses->empty()) {
        *error = WSAHOST_NOT_FOUND;
        return false;
    }
    return true;
}

} // namespace

bool LookUpName(const std::string& name, int port, HANDLE stopEvent, bool threadMessages,
                std::vector<ServerAddress>* addresses, int* error, bool* messageCame)
{
    *messageCame = false;
    addresses->clear();
    *error = WSAHOST_NOT_FOUND;
    LookupWork* lookup = new (std::nothrow) LookupWork;
    if (lookup == NULL)
        return false;
    try {
        lookup->name = name;
        lookup->service = std::to_string(port & 0xFFFF); // as htons would take it
    } catch (...) {
        delete lookup;
        return false;
    }
    HelperCall call;
    if (!call.Start(HelperWork{lookup, RunLookup, DisposeLookup}))
        return false;
    HelperWaitEnd end = call.Wait(stopEvent, threadMessages);
    if (end != HelperDone) {
        *messageCame = end == HelperMessage;
        *error = WSAEINTR; // the helper finishes on its own
        return false;
    }
    return TakeAddresses(*lookup, addresses, error);
}
