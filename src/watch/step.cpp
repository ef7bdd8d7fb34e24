#include "watch/step.h"

#include "watch/attempt.h"
#include "watch/listen.h"
#include "watch/outcome.h"

DWORD SessionStep(Session* session)
{
    WatchPolicy& policy = session->policy;
    if (session->settings.use == 0) {
        if (policy.state != WatchSwitchedOff && policy.state != WatchLoginRefused) {
            SettingsChanged(&policy, false, NowMs());
            PublishStatus(session);
        }
        return INFINITE; // until new settings come, or the stop
    }
    if (!session->connection.Open()) {
        DWORD wait = UntilNextAttemptMs(policy, NowMs());
        if (wait != 0)
            return wait;
        Attempt(session);
        return 0;
    }
    switch (policy.state) {
    case WatchIdling:
        // Never renew while received bytes wait to be read.
        if (!HasUnread(&session->client) && RenewalWaitMs(session) == 0) {
            RestartIdle(session, ResponseTimeoutMs(session));
            return 0;
        }
        ListenIdle(session);
        return 0;
    case WatchPolling:
        Poll(session);
        return 0;
    default:
        // A connection left open by an attempt that broke off: the dialogue
        // cannot be taken up where it was. No failure.
        CloseQuietly(session);
        return 0;
    }
}

void TakeFirstSettings(Session* session, const Settings& settings)
{
    {
        ExclusiveLock hold(session->settingsLock);
        session->settings = settings;
    }
    SettingsChanged(&session->policy, settings.use != 0, NowMs());
    PublishStatus(session);
}

void TakeNewSettings(Session* session, const Settings& settings)
{
    // Every change reconnects, whichever setting it was.
    CloseConnection(session);
    TakeFirstSettings(session, settings);
}

void AbandonAttempt(Session* session)
{
    // The close traces, and the trace may fail as well; a second close then
    // finds the socket gone and only forgets what was received.
    try {
        CloseConnection(session);
    } catch (...) {
        try {
            CloseConnection(session);
        } catch (...) {
        }
    }
    if (StopRequested(session) || session->settings.use == 0)
        return;
    try {
        FailureRecord record;
        record.atMs = NowMs();
        CountFailure(session, FailureQuiet, record);
    } catch (...) {
    }
}

void EndSession(Session* session)
{
    CloseConnection(session);
    EndLinkChecks(&session->links);
}
