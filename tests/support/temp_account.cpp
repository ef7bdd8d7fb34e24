#include "support/temp_account.h"

#include <stdio.h>

namespace testing_support {

TempAccount::TempAccount()
{
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    static int counter = 0;
    for (;;) {
        char name[MAX_PATH + 64];
        snprintf(name, sizeof name, "%sqvpush-test-%lu-%lu-%d", temp, GetCurrentProcessId(), GetTickCount(),
                 ++counter);
        if (CreateDirectoryA(name, NULL)) {
            folder = std::string(name) + "\\";
            return;
        }
    }
}

TempAccount::~TempAccount()
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string path = folder + found.cFileName;
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(path.c_str());
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(folder.c_str());
}

std::string TempAccount::ReadIni() const
{
    return ReadFileBytes(IniPath());
}

void TempAccount::WriteIni(const std::string& bytes) const
{
    WriteFileBytes(IniPath(), bytes);
}

bool TempAccount::IniExists() const
{
    return GetFileAttributesA(IniPath().c_str()) != INVALID_FILE_ATTRIBUTES;
}

void TempAccount::SetIniReadOnly(bool readOnly) const
{
    SetFileAttributesA(IniPath().c_str(), readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
}

std::string ReadFileBytes(const std::string& path)
{
    std::string bytes;
    FILE* file = fopen(path.c_str(), "rb");
    if (file == NULL)
        return bytes;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes.append(chunk, got);
    fclose(file);
    return bytes;
}

void WriteFileBytes(const std::string& path, const std::string& bytes)
{
    FILE* file = fopen(path.c_str(), "wb");
    if (file == NULL)
        return;
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
}

} // namespace testing_support
