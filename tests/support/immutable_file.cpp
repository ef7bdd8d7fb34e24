#include "support/immutable_file.h"

namespace testing_support {

namespace {

const DWORD FlagTimeoutMs = 10000;

// Wine's own exports: the Unix name of a Windows path and back. Both return
// memory of the process heap.
typedef char*(__cdecl* UnixFileNameFn)(const WCHAR*);
typedef WCHAR*(__cdecl* DosFileNameFn)(const char*);

FARPROC WineFunction(const char* name)
{
    return GetProcAddress(GetModuleHandleA("kernel32.dll"), name);
}

std::string UnixFileName(const std::string& path)
{
    UnixFileNameFn unixFileName = (UnixFileNameFn)(void*)WineFunction("wine_get_unix_file_name");
    WCHAR wide[MAX_PATH];
    if (unixFileName == NULL || MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH) == 0)
        return std::string();
    char* name = unixFileName(wide);
    if (name == NULL)
        return std::string();
    std::string result = name;
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

std::string DosFileName(const char* unixPath)
{
    DosFileNameFn dosFileName = (DosFileNameFn)(void*)WineFunction("wine_get_dos_file_name");
    if (dosFileName == NULL)
        return std::string();
    WCHAR* name = dosFileName(unixPath);
    if (name == NULL)
        return std::string();
    char narrow[MAX_PATH];
    int converted = WideCharToMultiByte(CP_ACP, 0, name, -1, narrow, sizeof narrow, NULL, NULL);
    HeapFree(GetProcessHeap(), 0, name);
    return converted > 0 ? std::string(narrow) : std::string();
}

// Starts chattr with the flag change. Wine runs a Linux program given to
// CreateProcess, but gives no handle to wait on: the caller watches the file.
bool RunChattr(const char* change, const std::string& unixPath, std::string* error)
{
    std::string program = DosFileName("/usr/bin/chattr");
    if (program.empty()) {
        *error = "no Windows path for /usr/bin/chattr (not running under Wine?)";
        return false;
    }
    std::string commandLine = std::string("chattr ") + change + " \"" + unixPath + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(program.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        *error = "CreateProcess of " + program + " failed with error " + std::to_string(GetLastError());
        return false;
    }
    if (process.hProcess != NULL)
        CloseHandle(process.hProcess);
    if (process.hThread != NULL)
        CloseHandle(process.hThread);
    return true;
}

bool OpensForWriting(const std::string& path)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

bool WaitUntilWritable(const std::string& path, bool writable)
{
    DWORD start = GetTickCount();
    while (OpensForWriting(path) != writable) {
        if (GetTickCount() - start >= FlagTimeoutMs)
            return false;
        Sleep(10);
    }
    return true;
}

} // namespace

ImmutableFile::ImmutableFile(const std::string& path) : path(path)
{
    unixPath = UnixFileName(path);
    if (unixPath.empty()) {
        error = "no Unix path for " + path;
        return;
    }
    if (unixPath.find('"') != std::string::npos) {
        error = "the path holds a double quote: " + unixPath;
        unixPath.clear();
        return;
    }
    if (!RunChattr("+i", unixPath, &error))
        return;
    holds = WaitUntilWritable(path, false);
    if (!holds)
        error = "chattr +i did not make " + unixPath +
                " unwritable within 10 s (it needs root and a file system with the immutable flag)";
}

ImmutableFile::~ImmutableFile()
{
    // Also after a failed start: chattr may have been slower than the wait.
    if (unixPath.empty())
        return;
    std::string ignored;
    if (RunChattr("-i", unixPath, &ignored))
        WaitUntilWritable(path, true);
}

} // namespace testing_support
