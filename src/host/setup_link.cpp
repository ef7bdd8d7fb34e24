#include "host/setup_link.h"

#include <atomic>
#include <new>

#include "config/user_texts.h"
#include "diag/format.h"
#include "diag/handles.h"
#include "host/failure_text.h"
#include "net/helper_thread.h"
#include "watch/registry.h"
#include "watch/step.h"

namespace {

// A FILETIME (UTC) as local "HH:MM", or with seconds.
std::string LocalClock(const FILETIME& utc, bool seconds)
{
    SYSTEMTIME local;
    if (!LocalSystemTime(utc, &local))
        return "?";
    std::string text;
    if (seconds)
        FormatString(text, "%02u:%02u:%02u", local.wHour, local.wMinute, local.wSecond);
    else
        FormatString(text, "%02u:%02u", local.wHour, local.wMinute);
    return text;
}

std::string Formatted(const char* format, const char* text)
{
    std::string line;
    FormatString(line, format, text);
    return line;
}

// A refusal that pinning the certificate settles: the user may trust it.
bool IsTrustable(const ConnectFailure& failure)
{
    return (failure.reason == ReasonCertUntrusted || failure.reason == ReasonPinMismatch) &&
           !failure.fingerprint.empty();
}

std::string CertificateText(const ConnectFailure& failure)
{
    std::string text = Formatted(TextCertSubjectFormat, failure.subject.c_str());
    text += "\n" + Formatted(TextCertIssuerFormat, failure.issuer.c_str());
    std::string validity;
    FormatString(validity, TextCertValidityFormat, LocalTimeText(failure.validFrom).c_str(),
                 LocalTimeText(failure.validTo).c_str());
    text += "\n" + validity;
    text += "\n" + Formatted(TextNamesFormat, failure.names.c_str());
    text += "\n" + Formatted(TextFingerprintFormat, failure.fingerprint.c_str());
    const char* reason = ConnectFailReasonLine(failure.reason);
    text += "\n" + Formatted(TextCertReasonFormat, reason != NULL ? reason : TextConnectFailed);
    text += "\n\n";
    text += TextTrustQuestion;
    return text;
}

// One test: the probe's session, shared by the dialog and the helper thread
// that runs it; the last of the two to let go frees it.
struct TestJob {
    std::atomic<long> references{2};
    Session session;
    HWND dialog = NULL;
    UINT message = 0;
    WPARAM serial = 0;
    HMODULE module = NULL; // the helper's reference, given back as it exits
    std::atomic<bool> finished{false};
    SetupTestResult result; // the helper's until finished
};

void Release(TestJob* job)
{
    if (--job->references == 0)
        delete job;
}

DWORD WINAPI TestThread(LPVOID parameter)
{
    TestJob* job = static_cast<TestJob*>(parameter);
    HMODULE module = job->module;
    // Nothing may leave a thread's first function by an exception.
    try {
        ProbeResult probe = RunProbe(&job->session);
        if (probe.end != ProbeStopped) {
            job->result = TestResultOf(probe);
            job->finished.store(true);
            // The dialog reads the result when this arrives; a dialog gone
            // refuses it, and its hold on the job has gone with it.
            PostMessageA(job->dialog, job->message, job->serial, 0);
        }
    } catch (...) {
        // Out of memory somewhere: the connection closes, and the dialog
        // hears that the test failed.
        try {
            EndSession(&job->session);
            job->result.line = Formatted(TextTestFailedFormat, TextConnectFailed);
            job->finished.store(true);
            PostMessageA(job->dialog, job->message, job->serial, 0);
        } catch (...) {
        }
    }
    Release(job);
    if (module != NULL)
        FreeLibraryAndExitThread(module, 0);
    return 0;
}

std::string LinkStatusLine(void* owner)
{
    SetupLinkOwner* link = static_cast<SetupLinkOwner*>(owner);
    WatcherStatus status;
    if (!WindowWatcherStatus(link->window, &status))
        return StatusLineText(NULL);
    return StatusLineText(&status);
}

void LinkNoticeStatus(void* owner, HWND dialog, UINT message)
{
    SetupLinkOwner* link = static_cast<SetupLinkOwner*>(owner);
    if (dialog != NULL) {
        link->noticeTo = dialog;
        NoticeStatusTo(link->window, dialog, message);
    } else if (link->noticeTo != NULL) {
        EndStatusNotice(link->noticeTo);
        link->noticeTo = NULL;
    }
}

void* LinkStartTest(void* owner, const Settings& settings, HWND dialog, UINT message, WPARAM serial)
{
    SetupLinkOwner* link = static_cast<SetupLinkOwner*>(owner);
    TestJob* job = new (std::nothrow) TestJob;
    if (job == NULL)
        return nullptr;
    job->dialog = dialog;
    job->message = message;
    job->serial = serial;
    bool ready = false;
    try {
        ready = InitProbe(&job->session, settings, link->account);
    } catch (...) {
    }
    // The helper holds the module while it runs: it may outlast the dialog,
    // the window and the host's hold on the plug-in.
    ModuleReference module = ReferenceModuleOf(reinterpret_cast<const void*>(&TestThread));
    HANDLE thread = NULL;
    if (ready && module.Valid()) {
        job->module = module.Get();
        thread = StartHelperThread(TestThread, job);
    }
    if (thread == NULL) {
        delete job;
        return nullptr;
    }
    module.Detach();
    CloseHandle(thread);
    return job;
}

bool LinkTestResult(void* test, SetupTestResult* result)
{
    TestJob* job = static_cast<TestJob*>(test);
    if (!job->finished.load())
        return false;
    *result = job->result;
    return true;
}

void LinkEndTest(void* test)
{
    TestJob* job = static_cast<TestJob*>(test);
    // The stop ends the test at its next wait; nothing is sent after it.
    RequestStop(&job->session);
    Release(job);
}

} // namespace

std::string StatusLineText(const WatcherStatus* status)
{
    if (status == NULL)
        return TextStatusNoWindow;
    std::string line;
    switch (status->state) {
    case WatchIdling:
        FormatString(line, TextStatusIdlingFormat, LocalClock(status->since, false).c_str());
        break;
    case WatchPolling:
        FormatString(line, TextStatusPollingFormat, status->pollMinutes, LocalClock(status->since, false).c_str());
        break;
    case WatchConnecting:
    case WatchLoggingIn:
        line = TextStatusConnecting;
        break;
    case WatchWaitingToRetry: {
        const char* reason = status->failed ? ConnectFailReasonLine(status->lastFailure.reason) : NULL;
        FormatString(line, TextStatusWaitingFormat, LocalClock(status->nextAttempt, true).c_str(),
                     reason != NULL ? reason : TextConnectFailed);
        break;
    }
    case WatchLoginRefused:
        line = TextStatusLoginRefused;
        break;
    case WatchSwitchedOff:
        line = TextStatusSwitchedOff;
        break;
    }
    return line;
}

SetupTestResult TestResultOf(const ProbeResult& probe)
{
    SetupTestResult result;
    switch (probe.end) {
    case ProbeSucceeded: {
        const std::string& protocol = probe.reached.protocol;
        FormatString(result.line, TextTestSucceededFormat, probe.reached.idle ? TextTestIdle : TextTestNoIdle,
                     protocol.empty() ? TextTestPlain : protocol.c_str());
        return result;
    }
    case ProbeLoginRefused:
        result.line = Formatted(TextTestFailedFormat, TextLoginFailed);
        return result;
    case ProbeStopped:
    case ProbeFailed:
        break;
    }
    const ConnectFailure& failure = probe.failure;
    // A silent server is told as such, also during the handshake; a
    // certificate or a setting has its own line.
    const char* reason = ConnectFailReasonLine(failure.reason);
    if (probe.noAnswer && (failure.reason == ReasonNone || failure.reason == ReasonTls))
        reason = TextTestNoAnswer;
    result.line = Formatted(TextTestFailedFormat, reason != NULL ? reason : TextConnectFailed);
    if (IsTrustable(failure)) {
        result.trustable = true;
        result.fingerprint = failure.fingerprint;
        result.certificateText = CertificateText(failure);
    }
    return result;
}

SetupDialogLink MakeSetupDialogLink(SetupLinkOwner* owner)
{
    SetupDialogLink link;
    link.owner = owner;
    link.statusLine = LinkStatusLine;
    link.noticeStatus = LinkNoticeStatus;
    link.startTest = LinkStartTest;
    link.testResult = LinkTestResult;
    link.endTest = LinkEndTest;
    return link;
}
