#include "watch/link_checks.h"

namespace {

ClockReading ClocksOf(const LinkChecks* checks)
{
    return checks->readClocks != nullptr ? checks->readClocks() : ReadSystemClocks();
}

} // namespace

LinkChecks::~LinkChecks()
{
    // The worker ends the checks itself; this is for checks never ended.
    EndLinkChecks(this);
}

void StartLinkChecks(LinkChecks* checks)
{
    StartLinkWatch(&checks->watch, ClocksOf(checks));
}

HANDLE NetworkChangeEvent(LinkChecks* checks, const Tracer& tracer)
{
    if (!NetworkSignalWanted(checks->watch))
        return NULL;
    return ArmNetworkSignal(&checks->signal, tracer);
}

DWORD LinkCheckWaitMs(LinkChecks* checks)
{
    uint32_t wait = LinkWaitMs(checks->watch, ClocksOf(checks));
    return wait == 0 ? 1 : static_cast<DWORD>(wait);
}

bool LinkCheckNeeded(LinkChecks* checks, bool networkSignalled, const Tracer& tracer)
{
    if (networkSignalled)
        NetworkSignalFired(checks->signal);
    LinkCheckReason reason = LinkCheckDue(&checks->watch, ClocksOf(checks), networkSignalled);
    if (reason == LinkCheckResume)
        TraceTo(tracer, "Resumed from sleep: check connection");
    else if (reason == LinkCheckNetwork)
        TraceTo(tracer, "Network changed: check connection");
    return reason != LinkCheckNone;
}

void EndLinkChecks(LinkChecks* checks)
{
    EndNetworkSignal(&checks->signal);
}
