#include "net/helper_thread.h"

#include <atomic>
#include <new>

#include "diag/handles.h"

// What the waiter and the helper thread share; the last of the two to let go
// disposes of the work and frees it.
struct HelperShared {
    std::atomic<long> references{2}; // the waiter and the helper thread
    HelperWork work;
    UniqueHandle done;                 // set once run has returned
    std::atomic<bool> threw{false};    // run ended by an exception
    HMODULE module = NULL;             // the helper's reference, given back as it exits
};

namespace {

std::atomic<ThreadCreator> Creator{nullptr};

void Release(HelperShared* shared)
{
    if (--shared->references != 0)
        return;
    if (shared->work.dispose != nullptr)
        shared->work.dispose(shared->work.context);
    delete shared;
}

DWORD WINAPI HelperThread(LPVOID parameter)
{
    HelperShared* shared = static_cast<HelperShared*>(parameter);
    HMODULE module = shared->module;
    // Nothing may leave a thread's first function by an exception: the
    // process would end.
    try {
        shared->work.run(shared->work.context);
    } catch (...) {
        shared->threw = true;
    }
    SetEvent(shared->done.Get());
    Release(shared);
    if (module != NULL)
        FreeLibraryAndExitThread(module, 0);
    return 0;
}

} // namespace

HANDLE StartHelperThread(LPTHREAD_START_ROUTINE routine, void* parameter)
{
    ThreadCreator create = Creator.load();
    if (create == nullptr)
        create = CreateThread;
    return create(NULL, HelperStackReserve, routine, parameter, STACK_SIZE_PARAM_IS_A_RESERVATION, NULL);
}

ThreadCreator ReplaceHelperThreadCreator(ThreadCreator creator)
{
    return Creator.exchange(creator);
}

bool HelperCall::Start(const HelperWork& work)
{
    Abandon();
    HelperShared* shared = new (std::nothrow) HelperShared;
    if (shared == nullptr) {
        if (work.dispose != nullptr)
            work.dispose(work.context);
        return false;
    }
    shared->work = work;
    shared->done.Attach(CreateEventA(NULL, TRUE, FALSE, NULL));
    // The helper holds the module while it runs: its work may outlast the
    // waiter, its watcher and the host's hold on the plug-in.
    ModuleReference module = ReferenceModuleOf(reinterpret_cast<const void*>(&HelperThread));
    HANDLE thread = NULL;
    if (shared->done.Valid() && module.Valid()) {
        shared->module = module.Get();
        thread = StartHelperThread(HelperThread, shared);
    }
    if (thread == NULL) {
        // The work never ran: the one reference left is the waiter's.
        shared->references = 1;
        Release(shared);
        return false;
    }
    module.Detach(); // the thread gives it back on its way out
    CloseHandle(thread);
    shared_ = shared;
    return true;
}

HelperWaitEnd HelperCall::Wait(HANDLE stopEvent, bool threadMessages, DWORD timeoutMs)
{
    if (shared_ == nullptr)
        return HelperFailed;
    HANDLE handles[2] = {shared_->done.Get(), stopEvent};
    DWORD waited = threadMessages
                       ? MsgWaitForMultipleObjectsEx(2, handles, timeoutMs, QS_ALLPOSTMESSAGE, MWMO_INPUTAVAILABLE)
                       : WaitForMultipleObjects(2, handles, FALSE, timeoutMs);
    if (waited == WAIT_TIMEOUT)
        return HelperLate;
    if (waited == WAIT_OBJECT_0)
        return shared_->threw ? HelperFailed : HelperDone;
    if (waited == WAIT_OBJECT_0 + 1)
        return HelperStopped;
    if (threadMessages && waited == WAIT_OBJECT_0 + 2)
        return HelperMessage;
    return HelperFailed;
}

void HelperCall::Abandon()
{
    if (shared_ != nullptr)
        Release(shared_);
    shared_ = nullptr;
}
