// A fresh account folder under the Windows temporary folder, removed again
// with everything in it when the test ends.
#pragma once

#include <windows.h>

#include <string>

namespace testing_support {

class TempAccount {
public:
    TempAccount();
    ~TempAccount();
    TempAccount(const TempAccount&) = delete;
    TempAccount& operator=(const TempAccount&) = delete;

    // The folder with its trailing separator, as the host gives it.
    const std::string& Folder() const { return folder; }
    std::string IniPath() const { return folder + "qvpush.ini"; }

    // The settings file's bytes; "" when there is none.
    std::string ReadIni() const;
    void WriteIni(const std::string& bytes) const;
    bool IniExists() const;
    void SetIniReadOnly(bool readOnly) const;

private:
    std::string folder;
};

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);

} // namespace testing_support
