// A watcher's trace copied into a file for support, each line stamped with
// the local time. Whoever traces only queues the line; a writer thread of
// the file's own appends it, so that a slow or refused disk never holds up
// the watcher. A line that finds the queue full is dropped and counted, and
// the next line written says how many went.
#pragma once

#include <windows.h>

#include <string>

// The file becomes path + ".1" (replacing an older one) once the next line
// would take it beyond this many bytes, and a new one begins.
const unsigned long TraceFileLimit = 1024 * 1024;
// What the queue holds at most between two turns of the writer.
const size_t TraceQueueLines = 512;
const size_t TraceQueueBytes = 256 * 1024;

struct TraceFileShared;

// One open trace file. The owner opens and closes it; any thread appends.
// Neither waits for the writer: Close leaves the lines still queued to the
// writer, which writes them and ends by itself, holding its own reference
// on the module until it has left its code.
class TraceFile {
public:
    TraceFile() = default;
    ~TraceFile() { Close(); }
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    // Starts taking lines for `path`, with a writer thread of its own. A
    // file already open stays as it is. When no writer could start, the
    // file stays closed and lines go nowhere.
    void Open(const std::string& path);
    // Stops taking lines. Idempotent.
    void Close();
    // Whether lines are taken: a trace may skip its work when nobody is.
    bool IsOpen() const;
    // Any thread: the line, stamped "YYYY-MM-DD HH:MM:SS.mmm " with the
    // local time now, goes to the queue, or is dropped and counted when the
    // queue is full or the stamped copy cannot be made. Never throws.
    void Append(const char* line) const;

private:
    mutable SRWLOCK lock_ = SRWLOCK_INIT; // held only to read or swap shared_
    TraceFileShared* shared_ = nullptr;   // under lock_; null while closed
};

// For tests: while `gate` is a non-signalled event, every writer waits for
// it before it takes lines from its queue (null: writers never wait).
void HoldTraceFileWriters(HANDLE gate);
