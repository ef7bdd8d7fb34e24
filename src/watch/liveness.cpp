#include "watch/liveness.h"

bool SleptBetween(const ClockReading& before, const ClockReading& after)
{
    if (after.tickMs < before.tickMs || after.unbiasedMs < before.unbiasedMs)
        return false;
    uint64_t passed = after.tickMs - before.tickMs;
    uint64_t awake = after.unbiasedMs - before.unbiasedMs;
    if (passed <= awake)
        return false;
    uint64_t drift = passed - awake;
    uint64_t threshold = awake > SleepDriftFloorMs ? awake : SleepDriftFloorMs;
    return drift > threshold;
}

void StartLinkWatch(LinkWatch* watch, const ClockReading& now)
{
    watch->started = true;
    watch->lastResumeCheck = now;
    watch->networkChanged = false;
}

namespace {

uint64_t Since(uint64_t then, uint64_t now)
{
    return now > then ? now - then : 0;
}

uint64_t UntilNetworkCheck(const LinkWatch& watch, const ClockReading& now)
{
    if (!watch.networkChecked)
        return 0;
    uint64_t since = Since(watch.lastNetworkCheckMs, now.unbiasedMs);
    return since >= NetworkCheckSpacingMs ? 0 : NetworkCheckSpacingMs - since;
}

} // namespace

uint32_t LinkWaitMs(const LinkWatch& watch, const ClockReading& now)
{
    uint64_t since = Since(watch.lastResumeCheck.unbiasedMs, now.unbiasedMs);
    uint64_t wait = since >= watch.checkEveryMs ? 0 : watch.checkEveryMs - since;
    if (watch.networkChanged) {
        uint64_t network = UntilNetworkCheck(watch, now);
        if (network < wait)
            wait = network;
    }
    return static_cast<uint32_t>(wait);
}

LinkCheckReason LinkCheckDue(LinkWatch* watch, const ClockReading& now, bool networkSignalled)
{
    if (!watch->started)
        StartLinkWatch(watch, now);
    if (networkSignalled)
        watch->networkChanged = true;

    LinkCheckReason reason = LinkCheckNone;
    if (Since(watch->lastResumeCheck.unbiasedMs, now.unbiasedMs) >= watch->checkEveryMs) {
        if (SleptBetween(watch->lastResumeCheck, now))
            reason = LinkCheckResume;
        watch->lastResumeCheck = now;
    }
    if (watch->networkChanged && UntilNetworkCheck(*watch, now) == 0) {
        if (reason == LinkCheckNone)
            reason = LinkCheckNetwork;
    }
    if (reason != LinkCheckNone) {
        // One check serves both: a change that awaited its turn is covered.
        if (watch->networkChanged) {
            watch->networkChanged = false;
            watch->networkChecked = true;
            watch->lastNetworkCheckMs = now.unbiasedMs;
        }
    }
    return reason;
}

bool NetworkSignalWanted(const LinkWatch& watch)
{
    return !watch.networkChanged;
}
