#include "diag/trace_file.h"

#include <atomic>
#include <new>
#include <vector>

#include "diag/format.h"
#include "diag/handles.h"

namespace {

// The writer only appends to a file: a small stack is plenty.
const SIZE_T WriterStackReserve = 64 * 1024;

// What the writer is to do once it has taken what is queued.
enum WriterState {
    WriterServing, // go on: the owner still queues lines
    WriterClosing, // the owner has let go: what was taken is the last
};

struct QueuedLine {
    std::string text;           // stamped, ending in a line break
    unsigned long droppedBefore; // lines dropped just before this one got in
};

std::atomic<HANDLE> Gate{NULL};

} // namespace

// What the owner and the writer share; the last of the two to let go frees it.
struct TraceFileShared {
    std::atomic<long> references{2}; // the owner and the writer
    std::string path;                 // once
    UniqueHandle wake;                // once: auto-reset, set when a line is queued or the owner lets go
    HMODULE module = NULL;            // once: the writer's reference, given back as it exits

    // The queue: a ring of TraceQueueLines slots made before the writer
    // starts, so that queueing a line moves a string and never allocates.
    SRWLOCK queueLock = SRWLOCK_INIT;
    std::vector<QueuedLine> ring; // under queueLock
    size_t first = 0;             // under queueLock
    size_t count = 0;             // under queueLock
    size_t bytes = 0;             // under queueLock: of the lines queued
    unsigned long dropped = 0;    // under queueLock: since the last line queued
    WriterState state = WriterServing; // under queueLock
};

namespace {

void Release(TraceFileShared* shared)
{
    if (--shared->references == 0)
        delete shared;
}

struct FileHandleTraits {
    typedef HANDLE Type;
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE handle) { CloseHandle(handle); }
};
typedef UniqueResource<FileHandleTraits> UniqueFile;

// Others may read, rename or delete the file while it is open.
HANDLE OpenForAppending(const std::string& path, DWORD disposition)
{
    return CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, disposition,
                       FILE_ATTRIBUTE_NORMAL, NULL);
}

// The file the writer appends to in one turn. Every failure drops the bytes
// it concerns and nothing else.
class Appender {
public:
    explicit Appender(const std::string& path) : path_(path)
    {
        file_.Attach(OpenForAppending(path_, OPEN_ALWAYS));
        LARGE_INTEGER size;
        if (file_.Valid() && GetFileSizeEx(file_.Get(), &size))
            size_ = static_cast<unsigned long long>(size.QuadPart);
    }

    // Appends `text`, after turning the file over when it would grow beyond
    // TraceFileLimit. A file that cannot be renamed just now (a viewer holds
    // it open without letting others rename it) grows on, and the next turn
    // of the writer tries again.
    void Add(const std::string& text)
    {
        if (!turnRefused_ && size_ + pending_.size() > 0 &&
            size_ + pending_.size() + text.size() > TraceFileLimit) {
            Flush();
            file_.Close();
            std::string older = path_ + ".1";
            if (MoveFileExA(path_.c_str(), older.c_str(), MOVEFILE_REPLACE_EXISTING))
                size_ = 0;
            else
                turnRefused_ = true;
            file_.Attach(OpenForAppending(path_, OPEN_ALWAYS));
        }
        pending_ += text;
    }

    void Flush()
    {
        if (file_.Valid() && !pending_.empty()) {
            DWORD written = 0;
            if (WriteFile(file_.Get(), pending_.data(), static_cast<DWORD>(pending_.size()), &written, NULL))
                size_ += written;
        }
        pending_.clear();
    }

private:
    std::string path_;
    UniqueFile file_;
    unsigned long long size_ = 0; // of the file as opened, and what was written to it since
    bool turnRefused_ = false;    // the file could not be renamed in this turn
    std::string pending_;
};

// Writes one turn's lines; a line after dropped ones is preceded by a line
// that says how many went, stamped like it.
void WriteLines(const std::string& path, std::vector<QueuedLine>& lines, size_t count)
{
    Appender file(path);
    for (size_t i = 0; i < count; ++i) {
        const QueuedLine& line = lines[i];
        if (line.droppedBefore != 0) {
            std::string notice;
            FormatString(notice, "%.24s%lu trace lines dropped\r\n", line.text.c_str(), line.droppedBefore);
            file.Add(notice);
        }
        file.Add(line.text);
    }
    file.Flush();
}

void Serve(TraceFileShared* shared)
{
    std::vector<QueuedLine> taken(shared->ring.size());
    for (;;) {
        WaitForSingleObject(shared->wake.Get(), INFINITE);
        HANDLE gate = Gate.load();
        if (gate != NULL)
            WaitForSingleObject(gate, INFINITE);
        size_t count = 0;
        WriterState state;
        {
            ExclusiveLock hold(shared->queueLock);
            for (; shared->count > 0; ++count) {
                QueuedLine& slot = shared->ring[shared->first];
                taken[count].text.swap(slot.text);
                taken[count].droppedBefore = slot.droppedBefore;
                shared->first = (shared->first + 1) % shared->ring.size();
                --shared->count;
            }
            shared->bytes = 0;
            state = shared->state;
        }
        // Out of memory, this turn's lines are lost and the writer goes on.
        try {
            WriteLines(shared->path, taken, count);
        } catch (...) {
        }
        for (size_t i = 0; i < count; ++i)
            std::string().swap(taken[i].text); // the queue holds no memory between turns
        // Closing was read with the last lines taken: nothing can follow.
        if (state == WriterClosing)
            return;
    }
}

DWORD WINAPI WriterThread(LPVOID parameter)
{
    TraceFileShared* shared = static_cast<TraceFileShared*>(parameter);
    HMODULE module = shared->module;
    try {
        Serve(shared);
    } catch (...) {
    }
    Release(shared);
    if (module != NULL)
        FreeLibraryAndExitThread(module, 0);
    return 0;
}

} // namespace

void TraceFile::Open(const std::string& path)
{
    if (IsOpen())
        return;
    TraceFileShared* shared = new (std::nothrow) TraceFileShared;
    if (shared == nullptr)
        return;
    try {
        shared->path = path;
        shared->ring.resize(TraceQueueLines);
    } catch (...) {
        delete shared;
        return;
    }
    shared->wake.Attach(CreateEventA(NULL, FALSE, FALSE, NULL));
    // The writer holds the module while it runs: it may outlast its owner,
    // the watcher and the host's hold on the plug-in.
    ModuleReference module = ReferenceModuleOf(reinterpret_cast<const void*>(&WriterThread));
    HANDLE thread = NULL;
    if (shared->wake.Valid() && module.Valid()) {
        shared->module = module.Get();
        thread = CreateThread(NULL, WriterStackReserve, WriterThread, shared, STACK_SIZE_PARAM_IS_A_RESERVATION,
                              NULL);
    }
    if (thread == NULL) {
        delete shared;
        return;
    }
    module.Detach(); // the writer gives it back on its way out
    CloseHandle(thread);
    ExclusiveLock hold(lock_);
    shared_ = shared;
}

void TraceFile::Close()
{
    TraceFileShared* shared;
    {
        ExclusiveLock hold(lock_);
        shared = shared_;
        shared_ = nullptr;
    }
    if (shared == nullptr)
        return;
    {
        ExclusiveLock hold(shared->queueLock);
        shared->state = WriterClosing;
    }
    SetEvent(shared->wake.Get());
    Release(shared);
}

bool TraceFile::IsOpen() const
{
    SharedLock hold(lock_);
    return shared_ != nullptr;
}

void TraceFile::Append(const char* line) const
{
    if (!IsOpen())
        return;
    std::string stamped;
    bool made = false;
    try {
        SYSTEMTIME now;
        GetLocalTime(&now);
        FormatString(stamped, "%04d-%02d-%02d %02d:%02d:%02d.%03d ", now.wYear, now.wMonth, now.wDay, now.wHour,
                     now.wMinute, now.wSecond, now.wMilliseconds);
        stamped += line;
        // A command line is traced with its own CR LF.
        if (stamped.back() != '\n')
            stamped += "\r\n";
        made = true;
    } catch (...) {
    }
    SharedLock hold(lock_);
    TraceFileShared* shared = shared_;
    if (shared == nullptr)
        return;
    bool queued = false;
    {
        ExclusiveLock queue(shared->queueLock);
        // One line longer than the queue's bytes still goes into an empty queue.
        if (!made || shared->count == shared->ring.size() ||
            (shared->count > 0 && shared->bytes + stamped.size() > TraceQueueBytes)) {
            ++shared->dropped;
        } else {
            QueuedLine& slot = shared->ring[(shared->first + shared->count) % shared->ring.size()];
            slot.text.swap(stamped);
            slot.droppedBefore = shared->dropped;
            shared->dropped = 0;
            shared->bytes += slot.text.size();
            ++shared->count;
            queued = true;
        }
    }
    if (queued)
        SetEvent(shared->wake.Get());
}

void HoldTraceFileWriters(HANDLE gate)
{
    Gate.store(gate);
}
