#include "watch/probe.h"

#include "watch/attempt.h"
#include "watch/step.h"
#include "watch/worker.h"

namespace {

// A test tells nobody: what it learnt is read from the session afterwards.
void NoMail(void*)
{
}

void NoFailureNotice(void*, const ConnectFailure&)
{
}

void NoLoginNotice(void*)
{
}

} // namespace

bool InitProbe(Session* session, const Settings& settings, const std::string& checkKey)
{
    if (!InitSession(session))
        return false;
    session->purpose = PurposeTest;
    session->checkKey = checkKey;
    session->events.owner = session;
    session->events.mailArrived = NoMail;
    session->events.connectFailed = NoFailureNotice;
    session->events.loginFailed = NoLoginNotice;
    // No beforeAttempt: the test runs with the values it was given, not
    // with what the file says.
    Settings tested = settings;
    KeepInRange(&tested);
    if (tested.recvTimeout == 0 || tested.recvTimeout > ProbeAnswerSeconds)
        tested.recvTimeout = ProbeAnswerSeconds;
    tested.use = 1;
    TakeFirstSettings(session, tested);
    return true;
}

ProbeResult RunProbe(Session* session)
{
    Attempt(session);
    ProbeResult result;
    if (StopRequested(session)) {
        result.end = ProbeStopped;
    } else if (session->reached.selected) {
        result.end = ProbeSucceeded;
        result.reached = session->reached;
    } else if (session->policy.state == WatchLoginRefused) {
        result.end = ProbeLoginRefused;
    } else {
        result.end = ProbeFailed;
        result.failure = session->failure;
        result.noAnswer = session->connection.waitRanOut;
    }
    EndSession(session);
    return result;
}
