// Work run on a helper thread, so that the thread that waits for it can stop
// (or turn to a message) while the work hangs: the name lookup and the
// certificate check. A waiter that goes before the work is done abandons it;
// the helper finishes on its own, frees what the work holds, and gives back
// its own reference on the module as it exits, so that neither the waiter,
// its watcher nor the host's hold on the plug-in need to outlive it.
#pragma once

#include <windows.h>

// The stack every helper thread reserves. Windows holds a thread to its
// reservation, and getaddrinfo and the certificate chain engine load their
// providers and call deep.
const SIZE_T HelperStackReserve = 256 * 1024;

// Starts `routine(parameter)` on a new thread with HelperStackReserve of
// stack reserved. The thread's handle (the caller closes it), or null when
// it could not start. Every helper thread starts here.
HANDLE StartHelperThread(LPTHREAD_START_ROUTINE routine, void* parameter);

// CreateThread's own signature: the call under StartHelperThread.
typedef HANDLE(WINAPI* ThreadCreator)(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                                      LPTHREAD_START_ROUTINE routine, LPVOID parameter, DWORD flags,
                                      LPDWORD threadId);
// Puts `creator` in the place of CreateThread for every later helper thread
// (null puts CreateThread back) and answers the one it replaces: a test sees
// what each helper thread asks for.
ThreadCreator ReplaceHelperThreadCreator(ThreadCreator creator);

// The work: run(context) on the helper thread, which must not wait for the
// waiter; dispose(context) once, by whichever of the two lets go last.
struct HelperWork {
    void* context;
    void (*run)(void* context);
    void (*dispose)(void* context);
};

// What ended a wait for a helper.
enum HelperWaitEnd {
    HelperDone,    // the work has finished: the context holds its results
    HelperStopped, // the stop event was set
    HelperMessage, // a thread message came for the waiting thread
    HelperFailed,  // the work ended by an exception, or the wait failed
    HelperLate,    // the work did not finish within the time the waiter gave it
};

struct HelperShared;

// The waiter's hold on one piece of helper work. Letting go, by Abandon or
// as the hold goes (an exception unwinding included), leaves unfinished
// work to the helper.
class HelperCall {
public:
    HelperCall() = default;
    ~HelperCall() { Abandon(); }
    HelperCall(const HelperCall&) = delete;
    HelperCall& operator=(const HelperCall&) = delete;

    // Starts the work on a helper thread. False when it could not start: the
    // work's context has then been disposed of already.
    bool Start(const HelperWork& work);
    // Waits until the work is done, `stopEvent` is set, or (with
    // `threadMessages`) a posted thread message is in the waiting thread's
    // queue (QS_ALLPOSTMESSAGE, MWMO_INPUTAVAILABLE: one already there ends
    // it at once). The caller reads the context only after HelperDone, and
    // abandons the work on anything else.
    HelperWaitEnd Wait(HANDLE stopEvent, bool threadMessages, DWORD timeoutMs = INFINITE);
    void Abandon();

private:
    HelperShared* shared_ = nullptr;
};
