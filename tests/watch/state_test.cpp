// What a watcher does next, decided at its transitions, tried with a clock
// the test moves: the pause before the next attempt, when a failure is told,
// when the count starts afresh, and the check for mail on reaching IDLE.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "watch/state.h"

namespace {

FailureRecord At(uint64_t ms, ConnectFailReason reason = ReasonNone, const std::string& fingerprint = "")
{
    FailureRecord record;
    record.atMs = ms;
    record.reason = reason;
    record.fingerprint = fingerprint;
    return record;
}

TEST(RetryDelay, ThreeSecondsTwiceThenDoublingUpToFiveMinutes)
{
    const struct {
        uint32_t failures;
        uint32_t delayMs;
    } cases[] = {{0, 3000},  {1, 3000},  {2, 3000},   {3, 6000},   {4, 12000},  {5, 24000},
                 {6, 48000}, {7, 96000}, {8, 192000}, {9, 300000}, {50, 300000}, {0xFFFF, 300000}};
    for (const auto& c : cases)
        EXPECT_EQ(RetryDelayMs(c.failures), c.delayMs) << c.failures << " failures";
}

// An account whose server stays away from the start: 3, 3, 6, 12 s apart;
// lookups and connects are told from the third in a row, once.
TEST(WatchPolicy, AServerAwayFromTheStartIsToldAtTheThirdAttemptAndPausesGrow)
{
    WatchPolicy policy;
    SettingsChanged(&policy, true, 0);
    uint64_t now = 0;
    std::vector<uint32_t> waits;
    std::vector<bool> told;
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(UntilNextAttemptMs(policy, now), 0u) << "attempt " << i;
        BeginAttempt(&policy, now);
        EXPECT_EQ(policy.state, WatchConnecting);
        FailureDecision decision = AttemptFailed(&policy, FailureUnreachable, At(now));
        EXPECT_EQ(policy.state, WatchWaitingToRetry);
        waits.push_back(decision.waitMs);
        told.push_back(decision.tell);
        EXPECT_EQ(UntilNextAttemptMs(policy, now + 1), decision.waitMs - 1);
        now += decision.waitMs;
    }
    EXPECT_EQ(waits, (std::vector<uint32_t>{3000, 3000, 6000, 12000, 24000}));
    EXPECT_EQ(told, (std::vector<bool>{false, false, true, false, false}));
}

// After IDLE has held a minute, losing the session is failure 1 again, and
// every failed attempt after it counts one more, of whatever kind.
struct LossCase {
    const char* name;
    bool polling;
    uint64_t heldMs;
    std::vector<uint32_t> waits; // after the loss, then after each failed attempt
};

void PrintTo(const LossCase& c, std::ostream* os)
{
    *os << c.name;
}

class SessionLoss : public ::testing::TestWithParam<LossCase> {};

TEST_P(SessionLoss, CountStartsAfreshOnlyAfterAMinuteOfIdleOrPolling)
{
    const LossCase& c = GetParam();
    WatchPolicy policy;
    SettingsChanged(&policy, true, 0);
    uint64_t now = 0;
    // Four failures first: the pause has grown to 12 s.
    for (int i = 0; i < 4; ++i) {
        BeginAttempt(&policy, now);
        now += AttemptFailed(&policy, FailureTold, At(now)).waitMs;
    }
    BeginAttempt(&policy, now);
    ConnectionMade(&policy);
    BeginLogin(&policy, now);
    EXPECT_EQ(policy.state, WatchLoggingIn);
    SessionReached(&policy, c.polling, false, false, now);
    EXPECT_EQ(policy.state, c.polling ? WatchPolling : WatchIdling);
    now += c.heldMs;
    std::vector<uint32_t> waits;
    FailureDecision lost = AttemptFailed(&policy, FailureQuiet, At(now));
    EXPECT_FALSE(lost.tell) << "a lost session is never told";
    waits.push_back(lost.waitMs);
    now += lost.waitMs;
    const FailureKind kinds[] = {FailureUnreachable, FailureTold, FailureQuiet};
    for (FailureKind kind : kinds) {
        BeginAttempt(&policy, now);
        FailureDecision decision = AttemptFailed(&policy, kind, At(now));
        EXPECT_FALSE(decision.tell) << "the account had worked";
        waits.push_back(decision.waitMs);
        now += decision.waitMs;
    }
    EXPECT_EQ(waits, c.waits);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SessionLoss,
    ::testing::Values(LossCase{"IdleHeldAMinute", false, 60000, {3000, 3000, 6000, 12000}},
                      LossCase{"PollingHeldAMinute", true, 61000, {3000, 3000, 6000, 12000}},
                      LossCase{"IdleLostBeforeTheMinute", false, 59999, {24000, 48000, 96000, 192000}}),
    [](const ::testing::TestParamInfo<LossCase>& info) { return std::string(info.param.name); });

// Before the account has worked a failure is told once; after it, only a
// refused certificate, once for each certificate.
TEST(WatchPolicy, NoticesAreToldOnceUntilNewSettingsAndEachRefusedCertificateOnce)
{
    WatchPolicy policy;
    SettingsChanged(&policy, true, 0);
    BeginAttempt(&policy, 0);
    EXPECT_TRUE(AttemptFailed(&policy, FailureTold, At(0)).tell);
    BeginAttempt(&policy, 1);
    EXPECT_FALSE(AttemptFailed(&policy, FailureTold, At(1)).tell) << "told twice";
    BeginAttempt(&policy, 2);
    EXPECT_TRUE(AttemptFailed(&policy, FailureCertificate, At(2, ReasonCertUntrusted, "AA")).tell)
        << "a refused certificate not told before";
    BeginAttempt(&policy, 3);
    EXPECT_FALSE(AttemptFailed(&policy, FailureCertificate, At(3, ReasonCertUntrusted, "AA")).tell);

    // The account works; then another certificate is refused, and the first
    // one again.
    BeginAttempt(&policy, 4);
    SessionReached(&policy, false, false, false, 4);
    BeginAttempt(&policy, 5);
    EXPECT_FALSE(AttemptFailed(&policy, FailureTold, At(5)).tell) << "the account had worked";
    EXPECT_TRUE(AttemptFailed(&policy, FailureCertificate, At(6, ReasonPinMismatch, "BB")).tell);
    EXPECT_FALSE(AttemptFailed(&policy, FailureCertificate, At(7, ReasonCertUntrusted, "AA")).tell);
    EXPECT_EQ(policy.lastFailure.reason, ReasonCertUntrusted);
    EXPECT_EQ(policy.lastFailure.fingerprint, "AA");

    // New settings: everything is told afresh, and the next attempt is now.
    SettingsChanged(&policy, true, 100);
    EXPECT_EQ(policy.state, WatchConnecting);
    EXPECT_EQ(UntilNextAttemptMs(policy, 100), 0u);
    EXPECT_TRUE(AttemptFailed(&policy, FailureCertificate, At(101, ReasonCertUntrusted, "AA")).tell);
}

TEST(WatchPolicy, RecvAtConnectedChecksOnReachingIdleOnlyWhenNoMailWasToldOnTheWay)
{
    const struct {
        bool recvAtConnected;
        bool toldOnTheWay;
        bool check;
    } cases[] = {{true, false, true}, {true, true, false}, {false, false, false}, {false, true, false}};
    for (const auto& c : cases) {
        WatchPolicy policy;
        SettingsChanged(&policy, true, 0);
        EXPECT_EQ(SessionReached(&policy, false, c.recvAtConnected, c.toldOnTheWay, 0), c.check)
            << c.recvAtConnected << " " << c.toldOnTheWay;
    }
}

TEST(WatchPolicy, SwitchedOffAndRefusedLoginsWaitForNewSettings)
{
    WatchPolicy policy;
    SettingsChanged(&policy, false, 0);
    EXPECT_EQ(policy.state, WatchSwitchedOff);
    SettingsChanged(&policy, true, 10);
    BeginAttempt(&policy, 10);
    BeginLogin(&policy, 11);
    LoginRefused(&policy, 12);
    EXPECT_EQ(policy.state, WatchLoginRefused);
    EXPECT_EQ(policy.enteredAtMs, 12u);
    SettingsChanged(&policy, true, 20);
    EXPECT_EQ(policy.state, WatchConnecting);
}

} // namespace
