// A file that no process can write, root included, for the tests of an
// unwritable settings file. The suite runs as root, and Wine lets a root
// process write a file whose read-only attribute is set; the Linux immutable
// flag (chattr +i) stops root as well, on the file systems that have it.
#pragma once

#include <windows.h>

#include <string>

namespace testing_support {

class ImmutableFile {
public:
    // Sets the flag on the file (a Windows path) and waits until the file
    // refuses to open for writing. Check Holds() before relying on it.
    explicit ImmutableFile(const std::string& path);
    // Clears the flag again and waits until the file opens for writing, so
    // that the test's folder can be removed.
    ~ImmutableFile();
    ImmutableFile(const ImmutableFile&) = delete;
    ImmutableFile& operator=(const ImmutableFile&) = delete;

    // True once the file refused to open for writing after the flag was set.
    bool Holds() const { return holds; }
    // Why Holds() is false, for the test's failure message.
    const std::string& Error() const { return error; }

private:
    std::string path;
    std::string unixPath;
    bool holds = false;
    std::string error;
};

} // namespace testing_support
