// Work on a helper thread that the waiting thread may abandon: what ends the
// wait, and that abandoned work finishes and frees itself on the helper.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "net/helper_thread.h"

namespace {

const DWORD DeadlineMs = 10000;

// What ends the wait in a case.
enum class Ending { WorkFinishes, StopSet, MessagePosted, WorkThrows };

struct Probe {
    Ending ending;
    HANDLE gate;            // abandoned work waits here until the test opens it
    HANDLE disposed;        // set by dispose
    int result = 0;         // what the work leaves for the waiter
    std::atomic<int> disposals{0};
    std::atomic<DWORD> disposedOn{0};
};

void RunProbe(void* context)
{
    Probe* probe = static_cast<Probe*>(context);
    if (probe->ending == Ending::StopSet || probe->ending == Ending::MessagePosted)
        WaitForSingleObject(probe->gate, DeadlineMs);
    probe->result = 42;
    if (probe->ending == Ending::WorkThrows)
        throw std::runtime_error("work failed");
}

void DisposeProbe(void* context)
{
    Probe* probe = static_cast<Probe*>(context);
    ++probe->disposals;
    probe->disposedOn = GetCurrentThreadId();
    SetEvent(probe->disposed);
}

struct WaitCase {
    const char* name;
    Ending ending;
    HelperWaitEnd expected;
};

void PrintTo(const WaitCase& c, std::ostream* os)
{
    *os << c.name;
}

class HelperWait : public ::testing::TestWithParam<WaitCase> {};

TEST_P(HelperWait, EndsAtTheRightEventAndTheWorkIsFreedOnceWhoeverLetsGoLast)
{
    const WaitCase& c = GetParam();
    // This thread's message queue, so that a message can be posted to it.
    MSG message;
    PeekMessageA(&message, NULL, WM_USER, WM_USER, PM_NOREMOVE);
    HANDLE stop = CreateEventA(NULL, TRUE, FALSE, NULL);
    Probe probe;
    probe.ending = c.ending;
    probe.gate = CreateEventA(NULL, TRUE, FALSE, NULL);
    probe.disposed = CreateEventA(NULL, TRUE, FALSE, NULL);

    {
        HelperCall call;
        ASSERT_TRUE(call.Start(HelperWork{&probe, RunProbe, DisposeProbe}));
        if (c.ending == Ending::StopSet)
            SetEvent(stop);
        if (c.ending == Ending::MessagePosted) {
            ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_USER + 7, 0, 0));
        }
        EXPECT_EQ(call.Wait(stop, true), c.expected);
        if (c.expected == HelperDone) {
            EXPECT_EQ(probe.result, 42);
        }
        EXPECT_EQ(probe.disposals.load(), 0) << "freed while the waiter still held it";
    }
    // The waiter has let go; abandoned work goes on until it ends.
    if (c.ending == Ending::StopSet || c.ending == Ending::MessagePosted) {
        EXPECT_EQ(probe.disposals.load(), 0) << "freed while the helper still ran";
    }
    SetEvent(probe.gate);
    ASSERT_EQ(WaitForSingleObject(probe.disposed, DeadlineMs), WAIT_OBJECT_0) << "the work was never freed";
    if (c.ending == Ending::StopSet || c.ending == Ending::MessagePosted) {
        EXPECT_NE(probe.disposedOn.load(), GetCurrentThreadId()) << "abandoned work must be freed by its helper";
    }
    EXPECT_EQ(probe.disposals.load(), 1);

    // The message that ended a wait is still there for the thread to serve.
    if (c.ending == Ending::MessagePosted) {
        EXPECT_TRUE(PeekMessageA(&message, NULL, WM_USER + 7, WM_USER + 7, PM_REMOVE));
    }
    CloseHandle(stop);
    CloseHandle(probe.gate);
    CloseHandle(probe.disposed);
}

INSTANTIATE_TEST_SUITE_P(
    Table, HelperWait,
    ::testing::Values(WaitCase{"WorkFinishes", Ending::WorkFinishes, HelperDone},
                      WaitCase{"StopSet", Ending::StopSet, HelperStopped},
                      WaitCase{"MessagePosted", Ending::MessagePosted, HelperMessage},
                      // No result to read: the waiter must not take it for one.
                      WaitCase{"WorkThrows", Ending::WorkThrows, HelperFailed}),
    [](const ::testing::TestParamInfo<WaitCase>& info) { return std::string(info.param.name); });

HANDLE WINAPI NoThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
}

TEST(HelperStart, WorkThatCannotStartIsFreedAtOnce)
{
    Probe probe;
    probe.ending = Ending::WorkFinishes;
    probe.gate = NULL;
    probe.disposed = CreateEventA(NULL, TRUE, FALSE, NULL);
    ThreadCreator previous = ReplaceHelperThreadCreator(NoThread);
    HelperCall call;
    bool started = call.Start(HelperWork{&probe, RunProbe, DisposeProbe});
    ReplaceHelperThreadCreator(previous);
    EXPECT_FALSE(started);
    EXPECT_EQ(probe.disposals.load(), 1);
    EXPECT_EQ(probe.result, 0) << "the work ran";
    EXPECT_EQ(call.Wait(NULL, false), HelperFailed);
    CloseHandle(probe.disposed);
}

} // namespace
