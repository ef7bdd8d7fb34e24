// What this process holds: memory, handles and threads.
#pragma once

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <string>
#include <vector>

namespace process_stats {

// Committed private memory in MB. (PagefileUsage: under Wine, PrivateUsage
// stays at a fixed value whatever the process allocates.)
inline double CommittedMb()
{
    PROCESS_MEMORY_COUNTERS counters;
    ZeroMemory(&counters, sizeof counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return static_cast<double>(counters.PagefileUsage) / (1024.0 * 1024.0);
}

inline double PeakWorkingSetMb()
{
    PROCESS_MEMORY_COUNTERS counters;
    ZeroMemory(&counters, sizeof counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return static_cast<double>(counters.PeakWorkingSetSize) / (1024.0 * 1024.0);
}

// Open handles of this process. Wine 8 answers GetProcessHandleCount with 0
// whatever is open; there the handle values are probed instead (Wine hands
// them out from 4 up in steps of 4).
inline DWORD HandleCount()
{
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0)
        return count;
    for (ULONG_PTR value = 4; value < 0x40000; value += 4) {
        DWORD flags;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
            ++count;
    }
    return count;
}

// The values of this process's open handles, probed as above: for telling
// which handles a run left behind.
inline std::vector<ULONG_PTR> HandleValues()
{
    std::vector<ULONG_PTR> values;
    for (ULONG_PTR value = 4; value < 0x40000; value += 4) {
        DWORD flags;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
            values.push_back(value);
    }
    return values;
}

// A handle's object type and, for a named object, its name, as the system
// tells them ("Event", "Key \\REGISTRY\\MACHINE\\...").
inline std::string DescribeHandle(ULONG_PTR value)
{
    typedef NTSTATUS(NTAPI * QueryObjectFn)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);
    QueryObjectFn query = reinterpret_cast<QueryObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryObject")));
    if (query == NULL)
        return "?";
    // ObjectNameInformation is 1; not every winternl.h names it.
    const OBJECT_INFORMATION_CLASS classes[2] = {ObjectTypeInformation, static_cast<OBJECT_INFORMATION_CLASS>(1)};
    std::string text;
    for (OBJECT_INFORMATION_CLASS wanted : classes) {
        // Both answers start with a UNICODE_STRING that points into the buffer.
        alignas(8) unsigned char buffer[2048] = {};
        ULONG length = 0;
        if (query(reinterpret_cast<HANDLE>(value), wanted, buffer, sizeof buffer - 2, &length) < 0)
            continue;
        const UNICODE_STRING* name = reinterpret_cast<const UNICODE_STRING*>(buffer);
        if (name->Buffer == NULL || name->Length == 0)
            continue;
        char narrow[1024] = {};
        WideCharToMultiByte(CP_UTF8, 0, name->Buffer, name->Length / 2, narrow, sizeof narrow - 1, NULL, NULL);
        if (!text.empty())
            text += " ";
        text += narrow;
    }
    return text.empty() ? "?" : text;
}

inline int ThreadCount()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            ++count;
    CloseHandle(snapshot);
    return count;
}

} // namespace process_stats
