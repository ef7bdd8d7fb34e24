// When an idle connection is checked: the two clocks compared for a sleep,
// network changes rate-limited, keepalive values. A fake clock stands in for
// the system's, which under Wine never drift apart.
#include <gtest/gtest.h>

#include <string>

#include "watch/liveness.h"

namespace {

ClockReading At(uint64_t tickMs, uint64_t unbiasedMs)
{
    ClockReading reading = {tickMs, unbiasedMs};
    return reading;
}

TEST(Liveness, SleepIsADriftOfTheSleepCountingClockBeyondTheTimeWaitedAwake)
{
    const uint64_t t0 = 5000000, u0 = 4000000;
    struct Case {
        const char* what;
        uint64_t passed, awake; // each clock's advance
        bool slept;
    } cases[] = {
        {"no drift", 60000, 60000, false},
        {"tick granularity", 60016, 60000, false},
        {"drift just short of the time awake", 119999, 60000, false},
        {"drift equal to the time awake", 120000, 60000, false},
        {"drift just beyond the time awake", 120001, 60000, true},
        {"an hour asleep", 3660000, 60000, true},
        {"a short wait: drift within the floor", 100 + SleepDriftFloorMs, 100, false},
        {"a short wait: drift beyond the floor", 101 + SleepDriftFloorMs, 100, true},
        {"the sleep-counting clock behind", 59000, 60000, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SleptBetween(At(t0, u0), At(t0 + c.passed, u0 + c.awake)), c.slept) << c.what;
    EXPECT_FALSE(SleptBetween(At(t0, u0), At(t0 - 1, u0 + 60000))) << "tick count went backwards";
    EXPECT_FALSE(SleptBetween(At(t0, u0), At(t0 + 3600000, u0 - 1))) << "unbiased time went backwards";
}

// A fake pair of clocks: `awake` moves both, `sleep` only the one that
// counts sleep.
struct FakeClock {
    uint64_t tick = 1000000, unbiased = 900000;
    void Awake(uint64_t ms) { tick += ms, unbiased += ms; }
    void Sleep(uint64_t ms) { tick += ms; }
    ClockReading Now() const { return At(tick, unbiased); }
};

TEST(Liveness, ResumeIsCheckedAtTheMinuteDeadlineAndOnlyAfterASleep)
{
    FakeClock clock;
    LinkWatch watch;
    StartLinkWatch(&watch, clock.Now());
    EXPECT_EQ(LinkWaitMs(watch, clock.Now()), ResumeCheckEveryMs);

    // A minute awake: the deadline comes, no sleep, the next one a minute on.
    clock.Awake(20000);
    EXPECT_EQ(LinkWaitMs(watch, clock.Now()), ResumeCheckEveryMs - 20000);
    EXPECT_EQ(LinkCheckDue(&watch, clock.Now(), false), LinkCheckNone);
    clock.Awake(40000);
    EXPECT_EQ(LinkWaitMs(watch, clock.Now()), 0u);
    EXPECT_EQ(LinkCheckDue(&watch, clock.Now(), false), LinkCheckNone);
    EXPECT_EQ(LinkWaitMs(watch, clock.Now()), ResumeCheckEveryMs);

    // Asleep for two hours in the middle of a wait: the check at the
    // deadline after waking finds it, once.
    clock.Awake(10000);
    clock.Sleep(7200000);
    EXPECT_EQ(LinkCheckDue(&watch, clock.Now(), false), LinkCheckNone) << "before the deadline";
    clock.Awake(50000);
    EXPECT_EQ(LinkCheckDue(&watch, clock.Now(), false), LinkCheckResume);
    clock.Awake(60000);
    EXPECT_EQ(LinkCheckDue(&watch, clock.Now(), false), LinkCheckNone) << "the same sleep told twice";

    // A sleep before the connection's IDLE is not its concern.
    clock.Sleep(7200000);
    StartLinkWatch(&watch, clock.Now());
    clock.Awake(60000);
    EXPECT_EQ(LinkCheckDue(&watch, clock.Now(), false), LinkCheckNone);
}

TEST(Liveness, NetworkChangesAreCheckedAtOnceThenAtMostOnceInTheSpacing)
{
    FakeClock clock;
    LinkWatch watch;
    StartLinkWatch(&watch, clock.Now());
    EXPECT_TRUE(NetworkSignalWanted(watch));

    clock.Awake(1000);
    EXPECT_EQ(LinkCheckDue(&watch, clock.Now(), true), LinkCheckNetwork) << "the first change";
    EXPECT_TRUE(NetworkSignalWanted(watch)) << "re-armed after its check";

    // Another change soon after: held until the spacing has passed, and the
    // signal is not re-armed meanwhile.
    clock.Awake(3000);
    EXPECT_EQ(LinkCheckDue(&watch, clock.Now(), true), LinkCheckNone);
    EXPECT_FALSE(NetworkSignalWanted(watch));
    EXPECT_EQ(LinkWaitMs(watch, clock.Now()), NetworkCheckSpacingMs - 3000);
    clock.Awake(NetworkCheckSpacingMs - 3000);
    EXPECT_EQ(LinkCheckDue(&watch, clock.Now(), false), LinkCheckNetwork) << "the held change";
    EXPECT_TRUE(NetworkSignalWanted(watch));
    EXPECT_EQ(LinkCheckDue(&watch, clock.Now(), false), LinkCheckNone) << "checked once";
}

TEST(Liveness, ASignalThatFiresConstantlyCostsOneCheckPerSpacing)
{
    FakeClock clock;
    LinkWatch watch;
    StartLinkWatch(&watch, clock.Now());
    // A signal every millisecond for ten minutes, whenever the signal is
    // armed; the wait ends at the deadlines in between.
    int checks = 0, signals = 0;
    const uint64_t end = clock.unbiased + 600000;
    while (clock.unbiased < end) {
        bool armed = NetworkSignalWanted(watch);
        uint64_t step = armed ? 1 : LinkWaitMs(watch, clock.Now());
        clock.Awake(step == 0 ? 1 : step);
        signals += armed ? 1 : 0;
        if (LinkCheckDue(&watch, clock.Now(), armed) != LinkCheckNone)
            ++checks;
    }
    EXPECT_LE(checks, static_cast<int>(600000 / NetworkCheckSpacingMs) + 1);
    EXPECT_GE(checks, static_cast<int>(600000 / NetworkCheckSpacingMs) - 1);
    EXPECT_LE(signals, checks + 1) << "the signal is re-armed once per check, not more";
}

TEST(Liveness, KeepAliveIdleTimeWithASixthOfItBetweenProbesAtLeastASecond)
{
    struct Case {
        int seconds;
        uint32_t onOff, timeMs, intervalMs;
    } cases[] = {
        {60, 1, 60000, 10000}, {6, 1, 6000, 1000}, {3, 1, 3000, 1000}, {1, 1, 1000, 1000},
        {7200, 1, 7200000, 1200000}, {0, 0, 0, 0}, {-1, 0, 0, 0},
    };
    for (const Case& c : cases) {
        KeepAliveValues values = KeepAliveFor(c.seconds);
        EXPECT_EQ(values.onOff, c.onOff) << c.seconds;
        EXPECT_EQ(values.timeMs, c.timeMs) << c.seconds;
        EXPECT_EQ(values.intervalMs, c.intervalMs) << c.seconds;
    }
}

} // namespace
