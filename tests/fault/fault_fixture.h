// The fault suite's fixture: qvpush.dll loaded into the stand-in host, its
// trace in the host's log, and the two checks that fault cases end with:
// the host's window thread still answers (HostAnswers, every case), and mail
// that comes after the fault reaches the folder window as the host's
// send/receive command (Announced, in the cases where the watcher is meant
// to be back in IDLE by then).
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "standin/host.h"
#include "support/dovecot.h"
#include "support/host_fixture.h"
#include "support/script_server.h"
#include "support/temp_account.h"
#include "watch/dovecot_account.h"

namespace fault {

const char ErrorCaption[] = "QV-PUSH エラー発生";

// Peak commit and peak working set of this process in MB. Under Wine the
// private-bytes counter stays constant; PagefileUsage is the commit.
struct PeakMemory {
    double commitMb;
    double workingSetMb;
};

inline PeakMemory Peaks()
{
    PROCESS_MEMORY_COUNTERS counters;
    ZeroMemory(&counters, sizeof counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    const double mb = 1024.0 * 1024.0;
    PeakMemory peaks = {static_cast<double>(counters.PeakPagefileUsage) / mb,
                        static_cast<double>(counters.PeakWorkingSetSize) / mb};
    return peaks;
}

// True when the host's window thread runs a function within the deadline;
// the time it took goes to *tookMs. The call is made from a thread of its
// own, so that a hung window thread fails the check instead of hanging the
// test.
inline bool HostAnswers(DWORD deadlineMs = 5000, double* tookMs = nullptr)
{
    struct Probe {
        static DWORD WINAPI Run(LPVOID)
        {
            standin::Run([] {});
            return 0;
        }
    };
    double start = standin::NowMs();
    HANDLE thread = CreateThread(NULL, 0, Probe::Run, NULL, 0, NULL);
    if (thread == NULL)
        return false;
    bool answered = WaitForSingleObject(thread, deadlineMs) == WAIT_OBJECT_0;
    CloseHandle(thread);
    if (tookMs != nullptr)
        *tookMs = standin::NowMs() - start;
    return answered;
}

class FaultTest : public HostTest {
protected:
    void SetUp() override
    {
        standin::CaptureTrace();
        HostTest::SetUp();
    }

    std::string SendReceiveOn(HWND window) const
    {
        return "WM_COMMAND id=" + std::to_string(standin::SendReceiveItemId) + " lParam=1000 on " + Hex(window);
    }
    std::string MailCommandOn(HWND window) const
    {
        return "command " + std::to_string(Command(0)) + " (callback 1) on " + Hex(window);
    }
    std::string ConnectFailedCommand() const
    {
        return "command " + std::to_string(Command(2)) + " (callback 3)";
    }

    // The host ran its send/receive command for the window after log line
    // `from`, and the plug-in pressed OK on the receive dialog afterwards.
    ::testing::AssertionResult Announced(HWND window, long from, DWORD timeoutMs = 20000) const
    {
        long sent = standin::WaitForLog(SendReceiveOn(window), timeoutMs, from < 0 ? 0 : from);
        if (sent < 0)
            return ::testing::AssertionFailure() << "no send/receive command on " << Hex(window);
        if (standin::WaitForLog("receive dialog OK pressed for " + Hex(window), timeoutMs, sent) < 0)
            return ::testing::AssertionFailure() << "the receive dialog of " << Hex(window) << " was not dismissed";
        return ::testing::AssertionSuccess();
    }

    // An account whose server is the script server, user alice, password pw.
    AccountIni ScriptAccount(const testing_support::TempAccount& account, const ScriptServer& server,
                             AccountIni ini = AccountIni())
    {
        ini.port = server.Port();
        ini.user = "alice";
        ini.pass = "pw";
        WriteAccountIni(account.Folder(), ini);
        return ini;
    }

    // Plays a clean dialogue with the script server's current client, from
    // the greeting to IDLE, and waits for the watcher's "IDLE mode". A
    // watcher without the trace has no such line: serial 0 does not wait,
    // and whatever is sent next follows the continuation on the stream.
    ::testing::AssertionResult PlayToIdle(ScriptServer& server, int serial = 1)
    {
        size_t from = standin::LogSize();
        server.Send(GreetingWithCapabilities);
        std::string tag = server.ExpectCommand("LOGIN alice pw");
        if (tag.empty())
            return ::testing::AssertionFailure() << "expected LOGIN, got: " << server.LastLine();
        server.Send(tag + " OK logged in\r\n");
        tag = server.ExpectCommand("SELECT INBOX");
        if (tag.empty())
            return ::testing::AssertionFailure() << "expected SELECT, got: " << server.LastLine();
        server.Send("* 0 EXISTS\r\n* 0 RECENT\r\n" + tag + " OK [READ-WRITE] selected\r\n");
        tag = server.ExpectCommand("IDLE");
        if (tag.empty())
            return ::testing::AssertionFailure() << "expected IDLE, got: " << server.LastLine();
        server.Send("+ idling\r\n");
        if (serial == 0)
            return ::testing::AssertionSuccess();
        char idle[64];
        snprintf(idle, sizeof idle, "trace [%02d]IDLE mode", serial);
        if (standin::WaitForLog(idle, 20000, from) < 0)
            return ::testing::AssertionFailure() << "the watcher did not reach IDLE";
        return ::testing::AssertionSuccess();
    }

    // The NowMs() of the first log line from `from` on that holds `text`;
    // negative when there is none.
    static double TimeOf(const std::string& text, size_t from = 0)
    {
        for (const standin::TimedLine& line : standin::TimedLogLines(from))
            if (line.text.find(text) != std::string::npos)
                return line.ms;
        return -1.0;
    }
};

} // namespace fault
