// What qvpush.dll is as a file: a 32-bit DLL (64-bit in the test build of a
// machine that runs no 32-bit programs; the headers below are the build's own) that exports exactly the host's
// eleven entry points, imports only system DLLs and carries its version.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

struct PeFile {
    std::vector<unsigned char> bytes;
    const IMAGE_NT_HEADERS* nt = nullptr;

    explicit PeFile(const char* path)
    {
        std::ifstream in(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (bytes.size() < sizeof(IMAGE_DOS_HEADER))
            return;
        const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(bytes.data());
        nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(bytes.data() + dos->e_lfanew);
    }

    // File bytes at a relative virtual address.
    const unsigned char* At(DWORD rva) const
    {
        const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
        for (int i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section)
            if (rva >= section->VirtualAddress && rva < section->VirtualAddress + section->Misc.VirtualSize)
                return bytes.data() + section->PointerToRawData + (rva - section->VirtualAddress);
        return nullptr;
    }

    std::set<std::string> ExportNames() const
    {
        std::set<std::string> names;
        const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
        if (dir.VirtualAddress == 0)
            return names;
        const IMAGE_EXPORT_DIRECTORY* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(At(dir.VirtualAddress));
        const DWORD* nameRvas = reinterpret_cast<const DWORD*>(At(exports->AddressOfNames));
        for (DWORD i = 0; i < exports->NumberOfNames; ++i)
            names.insert(reinterpret_cast<const char*>(At(nameRvas[i])));
        EXPECT_EQ(exports->NumberOfFunctions, exports->NumberOfNames) << "exports by ordinal only";
        return names;
    }

    // Every function imported by name, as "dll!Function" with the DLL's name
    // in lower case.
    std::set<std::string> ImportedFunctions() const
    {
        std::set<std::string> functions;
        const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        const IMAGE_IMPORT_DESCRIPTOR* import = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(At(dir.VirtualAddress));
        for (; import != nullptr && import->Name != 0; ++import) {
            std::string dll = reinterpret_cast<const char*>(At(import->Name));
            std::transform(dll.begin(), dll.end(), dll.begin(), ::tolower);
            DWORD lookup = import->OriginalFirstThunk != 0 ? import->OriginalFirstThunk : import->FirstThunk;
            for (const IMAGE_THUNK_DATA* thunk = reinterpret_cast<const IMAGE_THUNK_DATA*>(At(lookup));
                 thunk != nullptr && thunk->u1.AddressOfData != 0; ++thunk) {
                if (IMAGE_SNAP_BY_ORDINAL(thunk->u1.Ordinal)) {
                    functions.insert(dll + "!#" + std::to_string(IMAGE_ORDINAL(thunk->u1.Ordinal)));
                    continue;
                }
                const IMAGE_IMPORT_BY_NAME* byName =
                    reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(At(thunk->u1.AddressOfData));
                functions.insert(dll + "!" + reinterpret_cast<const char*>(byName->Name));
            }
        }
        return functions;
    }

    std::set<std::string> ImportedDlls() const
    {
        std::set<std::string> dlls;
        const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        const IMAGE_IMPORT_DESCRIPTOR* import = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(At(dir.VirtualAddress));
        for (; import != nullptr && import->Name != 0; ++import) {
            std::string name = reinterpret_cast<const char*>(At(import->Name));
            std::transform(name.begin(), name.end(), name.begin(), ::tolower);
            dlls.insert(name);
        }
        return dlls;
    }
};

} // namespace

TEST(Module, IsA32BitWindowsDll)
{
    PeFile pe("qvpush.dll");
    ASSERT_NE(pe.nt, nullptr);
    EXPECT_EQ(pe.nt->Signature, IMAGE_NT_SIGNATURE);
#ifdef _WIN64
    EXPECT_EQ(pe.nt->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
    EXPECT_EQ(pe.nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
#else
    EXPECT_EQ(pe.nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
    EXPECT_EQ(pe.nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR32_MAGIC);
#endif
    EXPECT_TRUE(pe.nt->FileHeader.Characteristics & IMAGE_FILE_DLL);
}

TEST(Module, ExportsExactlyTheElevenEntryPointsUndecorated)
{
    PeFile pe("qvpush.dll");
    ASSERT_NE(pe.nt, nullptr);
    std::set<std::string> expected = {
        "QPCGetPlugName",  "QPCVersionInfo",    "QPCStartUp",    "QPCCleanUp",
        "QPCSetup",        "QPCFolderInitMenu", "QPCFolderCreate", "QPCFolderLoad",
        "QPCFolderClose",  "QPCFolderEndRetrieve", "QPCFolderPreOpenView",
    };
    EXPECT_EQ(pe.ExportNames(), expected);
}

TEST(Module, ImportsOnlyWindowsSystemDlls)
{
    PeFile pe("qvpush.dll");
    ASSERT_NE(pe.nt, nullptr);
    const std::set<std::string> system = {"kernel32.dll", "user32.dll", "ws2_32.dll", "crypt32.dll",
                                          "msvcrt.dll",   "advapi32.dll", "gdi32.dll", "secur32.dll", "iphlpapi.dll"};
    std::set<std::string> imported = pe.ImportedDlls();
    EXPECT_TRUE(imported.count("kernel32.dll"));
    for (const std::string& dll : imported)
        EXPECT_TRUE(system.count(dll)) << dll << " is not a Windows system DLL";
}

// The plug-in runs on Windows 7 and later: it links only to functions that
// Windows 7 has, and looks newer ones up at run time. Each name below was
// checked against the minimum Windows version its documentation gives
// (msvcrt.dll, the C runtime's own business, is left out). A new import
// fails here until it has been checked and added.
TEST(Module, ImportsOnlyFunctionsThatWindows7Has)
{
    static const char* const windows7[] = {
        // kernel32.dll
        "AcquireSRWLockExclusive", "AcquireSRWLockShared", "AddVectoredExceptionHandler", "CloseHandle",
        "CreateEventA", "CreateSemaphoreA", "CreateThread", "DeleteCriticalSection", "DuplicateHandle",
        "EnterCriticalSection", "FreeLibrary", "FreeLibraryAndExitThread", "GetCurrentProcess",
        "GetCurrentProcessId", "GetCurrentThread", "GetCurrentThreadId", "GetHandleInformation", "GetLastError",
        "GetLocalTime", "LocalFree", "GetModuleHandleA", "GetModuleHandleExA", "GetModuleHandleW", "GetPrivateProfileStringA",
        "GetProcAddress", "GetProcessAffinityMask", "GetSystemInfo", "GetSystemTimeAsFileTime", "GetThreadContext",
        "GetThreadPriority", "GetTickCount", "GetTickCount64", "InitializeCriticalSection", "IsDBCSLeadByte",
        "IsDBCSLeadByteEx", "IsDebuggerPresent", "LeaveCriticalSection", "LoadLibraryA", "LoadLibraryW",
        "MultiByteToWideChar", "OpenProcess", "OutputDebugStringA", "QueryUnbiasedInterruptTime", "RaiseException",
        "ReleaseSRWLockExclusive", "ReleaseSRWLockShared", "ReleaseSemaphore", "RemoveVectoredExceptionHandler",
        "ResetEvent", "ResumeThread", "SetEvent", "SetLastError", "SetProcessAffinityMask", "SetThreadContext",
        "SetThreadPriority", "Sleep", "SuspendThread", "TlsAlloc", "TlsGetValue", "TlsSetValue",
        "TryEnterCriticalSection", "VirtualAlloc", "VirtualProtect", "VirtualQuery", "WaitForMultipleObjects",
        "WaitForSingleObject", "WideCharToMultiByte", "WritePrivateProfileStringA",
        "CreateFileA", "GetFileSizeEx", "MoveFileExA", "WriteFile", "FileTimeToSystemTime",
        "SystemTimeToTzSpecificLocalTime", "lstrcmpiA", "lstrcpynA",
        // user32.dll
        "CheckDlgButton", "DialogBoxParamA", "EndDialog", "FindWindowExA", "GetDlgCtrlID", "GetDlgItemTextA",
        "GetMenu", "GetMenuItemCount", "GetMenuItemInfoA", "GetMenuState", "GetParent", "GetSubMenu",
        "GetWindowLongA", "IsDlgButtonChecked", "MessageBoxA", "MsgWaitForMultipleObjectsEx", "PeekMessageA",
        "PostMessageA", "PostThreadMessageA", "SendDlgItemMessageA", "SendMessageA", "SetDlgItemTextA", "SetWindowLongA", "wsprintfA",
        "CharNextA", "DrawTextA", "EnableWindow", "GetClientRect", "GetDC", "GetDlgItem", "GetFocus", "KillTimer",
        "ReleaseDC", "SetTimer", "SetWindowTextA",
        // gdi32.dll
        "SelectObject",
        // ws2_32.dll
        "WSACloseEvent", "WSACreateEvent", "WSAEnumNetworkEvents", "WSAEventSelect", "WSAGetLastError",
        "WSAIoctl", "WSAStartup", "closesocket", "connect", "freeaddrinfo", "getaddrinfo", "getnameinfo", "htons",
        "inet_addr", "inet_pton", "ioctlsocket", "WSASetLastError", "recv", "select", "send", "setsockopt", "getsockopt", "socket",
        // crypt32.dll
        "CryptBinaryToStringA", "CryptStringToBinaryA", "CertFreeCertificateContext", "CertFindExtension",
        "CertFreeCertificateChain", "CertGetCertificateChain", "CertNameToStrA", "CertVerifyCertificateChainPolicy",
        "CryptDecodeObjectEx", "CryptHashCertificate2", "CryptProtectData", "CryptUnprotectData",
        // secur32.dll
        "AcquireCredentialsHandleA", "DecryptMessage", "DeleteSecurityContext", "EncryptMessage",
        "FreeContextBuffer", "FreeCredentialsHandle", "InitializeSecurityContextA", "QueryContextAttributesA",
        // iphlpapi.dll
        "CancelIPChangeNotify", "NotifyAddrChange",
#ifdef _WIN64
        // what 64-bit code imports for unwinding and window data: in every
        // 64-bit Windows
        "RtlCaptureContext", "RtlLookupFunctionEntry", "RtlUnwindEx", "RtlVirtualUnwind", "__C_specific_handler",
        "GetWindowLongPtrA", "SetWindowLongPtrA",
#endif
    };
    std::set<std::string> known(std::begin(windows7), std::end(windows7));
    PeFile pe("qvpush.dll");
    ASSERT_NE(pe.nt, nullptr);
    std::set<std::string> functions = pe.ImportedFunctions();
    EXPECT_GT(functions.size(), 20u);
    for (const std::string& function : functions) {
        std::string dll = function.substr(0, function.find('!'));
        std::string name = function.substr(function.find('!') + 1);
        if (dll == "msvcrt.dll")
            continue;
        EXPECT_TRUE(known.count(name)) << function << " is not known to be in Windows 7";
    }
}

TEST(Module, CarriesItsVersionResource)
{
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA("qvpush.dll", &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> data(size);
    ASSERT_TRUE(GetFileVersionInfoA("qvpush.dll", 0, size, data.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(0, 0));
    EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(0, 7));
    EXPECT_EQ(fixed->dwProductVersionMS, MAKELONG(0, 0));
    EXPECT_EQ(fixed->dwProductVersionLS, MAKELONG(0, 7));

    struct { const char* key; const char* value; } strings[] = {
        {"ProductVersion", "0.07"},
        {"InternalName", "qvpush"},
        {"OriginalFilename", "qvpush.dll"},
        {"Comments", "QV-Mail32プラグイン"},
    };
    for (auto& entry : strings) {
        std::string path = std::string("\\StringFileInfo\\041104b0\\") + entry.key;
        char* value = nullptr;
        ASSERT_TRUE(VerQueryValueA(data.data(), path.c_str(), reinterpret_cast<void**>(&value), &length))
            << entry.key;
        EXPECT_STREQ(value, entry.value) << entry.key;
    }
}
