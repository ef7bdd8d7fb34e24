// The watcher thread with the plug-in's code linked into the test: the
// stand-in host calls it like a loaded module, and the test can reach the
// registry and the settings hand-over directly on the host's thread.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/settings.h"
#include "host/plugin.h"
#include "standin/host.h"
#include "support/dovecot.h"
#include "support/host_fixture.h"
#include "support/process_stats.h"
#include "support/script_server.h"
#include "support/temp_account.h"
#include "watch/dovecot_account.h"
#include "watch/registry.h"
#include "watch/watcher.h"
#include "watch/worker.h"

using testing_support::TempAccount;

namespace {

FARPROC LinkedEntry(const char* name)
{
    static const struct {
        const char* name;
        FARPROC entry;
    } entries[] = {
#define ENTRY(name) {#name, reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&name))}
        ENTRY(QPCGetPlugName),  ENTRY(QPCVersionInfo),       ENTRY(QPCStartUp),
        ENTRY(QPCCleanUp),      ENTRY(QPCSetup),             ENTRY(QPCFolderInitMenu),
        ENTRY(QPCFolderCreate), ENTRY(QPCFolderLoad),        ENTRY(QPCFolderClose),
        ENTRY(QPCFolderEndRetrieve), ENTRY(QPCFolderPreOpenView),
#undef ENTRY
    };
    for (const auto& entry : entries)
        if (strcmp(entry.name, name) == 0)
            return entry.entry;
    return NULL;
}

DWORD WINAPI ReturnAtOnce(LPVOID)
{
    return 0;
}

class LinkedWatchers : public HostTest {
protected:
    void SetUp() override
    {
        standin::CaptureTrace();
        options.pluginPath.clear();
        options.linkedEntry = LinkedEntry;
        options.attachLinked = [] { AttachPlugin(GetModuleHandleA(NULL)); };
        HostTest::SetUp();
    }

};

TEST_F(LinkedWatchers, AnyChangedSettingReconnectsEvenDebugAlone)
{
    TempAccount account;
    std::string user = WriteDovecotAccount(account.Folder());
    HWND window = standin::OpenFolder(account.Folder());
    long idle = WaitFor("trace [01]IDLE mode", 20000);
    ASSERT_GE(idle, 0);

    // Unchanged settings tell the worker nothing; a changed debug value
    // (which has nothing to do with the connection) still reconnects.
    standin::Run([&] {
        Watcher* watcher = FindWatcherByWindow(window);
        ASSERT_NE(watcher, nullptr);
        Settings settings;
        LoadSettings(account.Folder().c_str(), &settings);
        UpdateSettings(watcher, settings);
        settings.debug = 7;
        UpdateSettings(watcher, settings);
    });
    long closed = standin::WaitForLog("trace [01]CloseSocket", 20000, idle);
    ASSERT_GE(closed, 0);
    long again = standin::WaitForLog("trace [01]IDLE mode", 20000, closed);
    ASSERT_GE(again, 0) << "no reconnection after the change";
    EXPECT_EQ(Count("trace [01]CloseSocket"), 1) << "the unchanged settings were posted too";
    EXPECT_EQ(dovecot::Logins(user), 2);
}

TEST_F(LinkedWatchers, SwitchedOnBySettingsAfterStartingOff)
{
    TempAccount account;
    std::string user = WriteDovecotAccount(account.Folder());
    WritePrivateProfileStringA("imap4", "use", "0", account.IniPath().c_str());
    HWND window = standin::OpenFolder(account.Folder());
    standin::Run([&] {
        Watcher* watcher = FindWatcherByWindow(window);
        ASSERT_NE(watcher, nullptr);
        Settings settings;
        LoadSettings(account.Folder().c_str(), &settings);
        settings.use = 1;
        UpdateSettings(watcher, settings);
    });
    ASSERT_GE(WaitFor("trace [01]IDLE mode", 20000), 0);
    EXPECT_EQ(Count("trace [01]connect to("), 1);
}

TEST_F(LinkedWatchers, ReleaseRightAfterCreationEndsCleanly)
{
    ScriptServer closed;
    closed.StopListening();
    TempAccount account;
    AccountIni ini;
    ini.port = closed.Port();
    ini.user = "u";
    ini.pass = "p";
    WriteAccountIni(account.Folder(), ini);
    double took = 0;
    standin::Run([&] {
        HWND window = standin::OpenFolder(account.Folder());
        double start = standin::NowMs();
        standin::CloseFolder(window);
        took = standin::NowMs() - start;
    });
    long ended = WaitFor("trace [01]thread terminated");
    ASSERT_GE(ended, 0);
    EXPECT_LT(WaitFor("trace [01]thread end"), ended);
    // The worker ends at once on the stop; the host would stop waiting for
    // it after 100 ms in any case. The close no longer pauses a second.
    EXPECT_LT(took, 500.0);
}

TEST_F(LinkedWatchers, SettingsThatCannotBePostedAreFreed)
{
    // A watcher whose thread is gone: every post fails.
    DWORD endedThread = 0;
    HANDLE thread = CreateThread(NULL, 0, ReturnAtOnce, NULL, 0, &endedThread);
    WaitForSingleObject(thread, INFINITE);
    Watcher watcher;
    watcher.thread.Attach(thread);
    watcher.threadId = endedThread;
    watcher.session.settings.use = 0;
    Settings settings;
    LoadSettings("C:\\no such folder\\", &settings);
    settings.use = 1;

    double before = process_stats::CommittedMb();
    for (int i = 0; i < 100000; ++i)
        UpdateSettings(&watcher, settings);
    double growthMb = process_stats::CommittedMb() - before;
    EXPECT_FALSE(PostThreadMessageA(endedThread, WM_NULL, 0, 0)) << "the post was meant to fail";
    watcher.thread.Close();
    // 100000 lost copies of the record would be about 50 MB.
    EXPECT_LT(growthMb, 8.0);
}

TEST_F(LinkedWatchers, AWorkerThatNeverStartedIsNotWaitedFor)
{
    TempAccount account;
    AccountIni ini;
    ini.use = 0;
    WriteAccountIni(account.Folder(), ini);

    // Leave the process no address space for a thread's stack.
    std::vector<void*> reserved;
    for (SIZE_T size = 256 * 1024 * 1024; size >= 64 * 1024; size /= 2)
        while (void* block = VirtualAlloc(NULL, size, MEM_RESERVE, PAGE_NOACCESS))
            reserved.push_back(block);
    bool destroyed = false;
    standin::Run([&] {
        HWND window = standin::OpenFolder(account.Folder());
        Watcher* watcher = FindWatcherByWindow(window);
        destroyed = watcher != NULL && !watcher->thread.Valid();
        standin::CloseFolder(window); // would wait forever for a missing thread
    });
    for (void* block : reserved)
        VirtualFree(block, 0, MEM_RELEASE);
    if (!destroyed)
        GTEST_SKIP() << "the system still found room for a thread";
    EXPECT_EQ(Count("trace [01]thread"), 0) << "no worker ever ran";
}

} // namespace
