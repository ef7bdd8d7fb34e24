#include "watch/state.h"

namespace {

const uint32_t FirstRetryMs = 3000;
const uint32_t LongestRetryMs = 5 * 60 * 1000;
// Lookup and connect failures are told from this one in a row on: a
// network that comes up a moment late is no reason for a box.
const uint32_t UnreachableToldFrom = 3;

void Enter(WatchPolicy* policy, WatchState state, uint64_t nowMs)
{
    policy->state = state;
    policy->enteredAtMs = nowMs;
}

} // namespace

uint32_t RetryDelayMs(uint32_t failures)
{
    uint32_t delay = FirstRetryMs;
    for (uint32_t i = 2; i < failures && delay < LongestRetryMs; ++i)
        delay *= 2;
    return delay < LongestRetryMs ? delay : LongestRetryMs;
}

void SettingsChanged(WatchPolicy* policy, bool use, uint64_t nowMs)
{
    policy->failuresInRow = 0;
    policy->unreachableInRow = 0;
    policy->connectNoticePending = true;
    policy->toldCertificates.clear();
    policy->nextAttemptAtMs = nowMs;
    Enter(policy, use ? WatchConnecting : WatchSwitchedOff, nowMs);
}

void BeginAttempt(WatchPolicy* policy, uint64_t nowMs)
{
    Enter(policy, WatchConnecting, nowMs);
}

void ConnectionMade(WatchPolicy* policy)
{
    policy->unreachableInRow = 0;
}

void BeginLogin(WatchPolicy* policy, uint64_t nowMs)
{
    Enter(policy, WatchLoggingIn, nowMs);
}

bool SessionReached(WatchPolicy* policy, bool polling, bool recvAtConnected, bool mailToldOnTheWay,
                    uint64_t nowMs)
{
    Enter(policy, polling ? WatchPolling : WatchIdling, nowMs);
    // Once the account has worked, a later failure to connect is no news
    // worth a box (a refused certificate excepted).
    policy->connectNoticePending = false;
    return recvAtConnected && !mailToldOnTheWay;
}

FailureDecision AttemptFailed(WatchPolicy* policy, FailureKind kind, const FailureRecord& failure)
{
    const uint64_t now = failure.atMs;
    bool heldSession = policy->state == WatchIdling || policy->state == WatchPolling;
    if (heldSession && now - policy->enteredAtMs >= SteadySessionMs)
        policy->failuresInRow = 0;
    if (policy->failuresInRow < 0xFFFF)
        ++policy->failuresInRow;

    bool tell = false;
    switch (kind) {
    case FailureUnreachable:
        if (policy->unreachableInRow < 0xFFFF)
            ++policy->unreachableInRow;
        tell = policy->connectNoticePending && policy->unreachableInRow >= UnreachableToldFrom;
        break;
    case FailureTold:
        tell = policy->connectNoticePending;
        break;
    case FailureCertificate:
        tell = failure.fingerprint.empty() ? policy->connectNoticePending
                                           : policy->toldCertificates.insert(failure.fingerprint).second;
        break;
    case FailureQuiet:
        break;
    }
    if (tell)
        policy->connectNoticePending = false;
    policy->lastFailure = failure;
    policy->lastFailure.happened = true;

    FailureDecision decision;
    decision.tell = tell;
    decision.waitMs = RetryDelayMs(policy->failuresInRow);
    policy->nextAttemptAtMs = now + decision.waitMs;
    Enter(policy, WatchWaitingToRetry, now);
    return decision;
}

void LoginRefused(WatchPolicy* policy, uint64_t nowMs)
{
    Enter(policy, WatchLoginRefused, nowMs);
}

uint32_t UntilNextAttemptMs(const WatchPolicy& policy, uint64_t nowMs)
{
    if (policy.state != WatchWaitingToRetry || nowMs >= policy.nextAttemptAtMs)
        return 0;
    uint64_t wait = policy.nextAttemptAtMs - nowMs;
    return wait > 0xFFFFFFF0u ? 0xFFFFFFF0u : static_cast<uint32_t>(wait);
}
