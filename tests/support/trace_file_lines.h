// Reading a trace file ("qvpush.log") back: its entries, each stamped
// "YYYY-MM-DD HH:MM:SS.mmm " with the local time, for tests.
#pragma once

#include <windows.h>

#include <stdio.h>

#include <string>
#include <vector>

namespace testing_support {

const size_t TraceStampLength = 24;

// The local time now, as the trace file stamps its lines.
inline std::string LocalStamp()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    char text[64];
    snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d ", now.wYear, now.wMonth, now.wDay, now.wHour,
             now.wMinute, now.wSecond, now.wMilliseconds);
    return text;
}

inline bool IsStampAt(const std::string& bytes, size_t at)
{
    const char pattern[] = "dddd-dd-dd dd:dd:dd.ddd ";
    if (bytes.size() < at + TraceStampLength)
        return false;
    for (size_t i = 0; i < TraceStampLength; ++i) {
        char c = bytes[at + i];
        if (pattern[i] == 'd' ? (c < '0' || c > '9') : c != pattern[i])
            return false;
    }
    return true;
}

struct TraceFileEntry {
    std::string stamp; // with its trailing space
    std::string text;  // as appended, with the line break that ends it
};

// The file's entries: a stamp at the start of the file or of a line begins
// one, which runs to the next. A file that does not begin with a stamp
// gives a first entry with an empty stamp.
inline std::vector<TraceFileEntry> TraceFileEntries(const std::string& bytes)
{
    std::vector<TraceFileEntry> entries;
    size_t at = 0;
    while (at < bytes.size()) {
        TraceFileEntry entry;
        if (IsStampAt(bytes, at)) {
            entry.stamp = bytes.substr(at, TraceStampLength);
            at += TraceStampLength;
        }
        size_t end = at;
        for (;;) {
            size_t lineEnd = bytes.find("\r\n", end);
            end = lineEnd == std::string::npos ? bytes.size() : lineEnd + 2;
            if (end >= bytes.size() || IsStampAt(bytes, end))
                break;
        }
        entry.text = bytes.substr(at, end - at);
        entries.push_back(entry);
        at = end;
    }
    return entries;
}

} // namespace testing_support
