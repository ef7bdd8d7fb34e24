#include "imap/lookup.h"

#include <string.h>

#include <atomic>
#include <new>

#include "diag/handles.h"

struct PendingLookup {
    std::atomic<long> references{2}; // the worker and the helper thread
    UniqueHandle done;
    std::string name;
    std::string service;
    int error = 0;
    addrinfo* result = NULL;

    ~PendingLookup()
    {
        if (result != NULL)
            freeaddrinfo(result);
    }
};

namespace {

// The helper's stack holds little more than getaddrinfo's frames.
const SIZE_T LookupStackReserve = 64 * 1024;

void Release(PendingLookup* lookup)
{
    if (--lookup->references == 0)
        delete lookup;
}

DWORD WINAPI LookupThread(LPVOID parameter)
{
    PendingLookup* lookup = static_cast<PendingLookup*>(parameter);
    // The reference that StartLookup took for this thread.
    HMODULE module = NULL;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&LookupThread), &module);
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* result = NULL;
    int error = getaddrinfo(lookup->name.c_str(), lookup->service.c_str(), &hints, &result);
    lookup->error = error;
    lookup->result = error == 0 ? result : NULL;
    SetEvent(lookup->done.Get());
    Release(lookup);
    if (module != NULL)
        FreeLibraryAndExitThread(module, 0);
    return 0;
}

} // namespace

PendingLookup* StartLookup(const std::string& name, int port)
{
    PendingLookup* lookup = new (std::nothrow) PendingLookup;
    if (lookup == NULL)
        return NULL;
    try {
        lookup->name = name;
        lookup->service = std::to_string(port & 0xFFFF); // as htons would take it
    } catch (...) {
        delete lookup;
        return NULL;
    }
    lookup->done.Attach(CreateEventA(NULL, TRUE, FALSE, NULL));
    // The helper holds the module while it runs: its blocking call may
    // outlast the worker, the watcher and the host's hold on the plug-in.
    ModuleReference module = ReferenceModuleOf(reinterpret_cast<const void*>(&LookupThread));
    HANDLE thread = NULL;
    if (lookup->done.Valid() && module.Valid())
        thread = CreateThread(NULL, LookupStackReserve, LookupThread, lookup, STACK_SIZE_PARAM_IS_A_RESERVATION,
                              NULL);
    if (thread == NULL) {
        delete lookup;
        return NULL;
    }
    module.Detach(); // the thread gives it back on its way out
    CloseHandle(thread);
    return lookup;
}

HANDLE LookupDone(PendingLookup* lookup)
{
    return lookup->done.Get();
}

bool LookupResult(PendingLookup* lookup, std::vector<ServerAddress>* addresses, int* error)
{
    addresses->clear();
    *error = lookup->error;
    if (lookup->error != 0)
        return false;
    for (const addrinfo* entry = lookup->result; entry != NULL; entry = entry->ai_next) {
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

void ReleaseLookup(PendingLookup* lookup)
{
    if (lookup != NULL)
        Release(lookup);
}

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
