// When a connection that looks idle and well should be checked: after the
// machine slept, or after the network changed. Pure decisions on clock
// readings the caller takes, so that they can be tried with any clock.
#pragma once

#include <stdint.h>

#include "net/link_signals.h"

// How often the idle wait ends to compare the two clocks.
const uint32_t ResumeCheckEveryMs = 60000;
// Network changes are checked for no more often than this: a system that
// signals constantly costs one check in this time, not a busy loop.
const uint32_t NetworkCheckSpacingMs = 10000;
// Smallest drift taken as sleep: the tick count moves in steps of up to
// 16 ms, and a check may come only moments after the last one.
const uint32_t SleepDriftFloorMs = 2000;

// The state of the checks of one connection. Worker only.
struct LinkWatch {
    uint32_t checkEveryMs = ResumeCheckEveryMs; // the clocks' comparison; shorter only in tests
    bool started = false;
    ClockReading lastResumeCheck = {0, 0};
    bool networkChanged = false;    // a change was signalled and awaits its check
    bool networkChecked = false;    // lastNetworkCheckMs holds a check
    uint64_t lastNetworkCheckMs = 0; // unbiased time of the last network check
};

// The machine slept between the two readings: the clock that counts sleep
// ran ahead of the one that does not by more than the time waited awake
// (and by at least SleepDriftFloorMs). A clock that went backwards is no
// sleep.
bool SleptBetween(const ClockReading& before, const ClockReading& after);

// Starts the watch afresh at a connection's IDLE: a sleep before it is no
// concern of this connection.
void StartLinkWatch(LinkWatch* watch, const ClockReading& now);

// How long the idle wait may last before LinkCheckDue must be asked again.
uint32_t LinkWaitMs(const LinkWatch& watch, const ClockReading& now);

enum LinkCheckReason {
    LinkCheckNone = 0,
    LinkCheckResume,  // the machine slept
    LinkCheckNetwork, // the network changed
};

// Asked after each idle wait, with whether the network-change signal fired
// in it. Says whether to check the connection now, and why; a change that
// came too soon after the last network check waits for LinkWaitMs.
LinkCheckReason LinkCheckDue(LinkWatch* watch, const ClockReading& now, bool networkSignalled);

// While a network change awaits its check, the signal is not re-armed: it
// is re-armed once, after the check.
bool NetworkSignalWanted(const LinkWatch& watch);
