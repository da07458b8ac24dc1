#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "base/Timeout.h"
#include "threads/Event.h"
#include "threads/Functions.h"

namespace {

// Runs f on a thread and keeps pulsing ev until f has returned: a pulse only reaches a waiter
// that is already blocked, and there is no way to know from outside when it is.
template <class F>
void PulseUntilDone(CEvent& ev, F f) {
    std::atomic<bool> done{false};
    std::thread waiter([&] {
        f();
        done = true;
    });
    while (!done) {
        ev.Pulse();
        std::this_thread::yield();
    }
    waiter.join();
}

}  // namespace

TEST(EventWait, ZeroTimeoutOnClearEventReturnsFalseAtOnce) {
    CEvent manual(true, false);
    CEvent automatic(false, false);
    EXPECT_FALSE(manual.Wait(0));
    EXPECT_FALSE(automatic.Wait(0));
    EXPECT_FALSE(automatic.IsSet(0));
}

TEST(EventWait, AutoResetConsumesTheSignal) {
    CEvent ev(false, true);
    EXPECT_TRUE(ev.Wait(0));
    EXPECT_FALSE(ev.Wait(0));
    ev.Set(true);
    EXPECT_TRUE(ev.IsSet(0));  // IsSet waits, so it consumes too
    EXPECT_FALSE(ev.IsSet(0));
}

TEST(EventWait, ManualResetStaysSignalledUntilReset) {
    CEvent ev(true, false);
    ev.Set(true);
    EXPECT_TRUE(ev.Wait(0));
    EXPECT_TRUE(ev.Wait(10));
    ev.Reset();
    EXPECT_FALSE(ev.Wait(0));
    ev.Set(true);
    ev.Set(false);
    EXPECT_FALSE(ev.Wait(0));
}

TEST(EventWait, TimesOutNoEarlierThanTheTimeout) {
    CEvent ev(true, false);
    unsigned int start = FUNCTIONS::GetTickCount();
    EXPECT_FALSE(ev.Wait(60));
    EXPECT_GE(FUNCTIONS::GetTickCount() - start, 60u);
}

TEST(EventWait, SetFromAnotherThreadWakesUnlimitedWaiter) {
    for (bool manual : {true, false}) {
        CEvent ev(manual, false);
        std::atomic<bool> result{false};
        std::thread waiter([&] { result = ev.Wait(kInfinite); });
        ev.Set(true);
        waiter.join();
        EXPECT_TRUE(result);
        // The auto-reset waiter took the signal; the manual-reset one left it.
        EXPECT_EQ(ev.Wait(0), manual);
    }
}

TEST(EventWait, UnlimitedWaitStaysBlockedUntilSet) {
    CEvent ev(false, false);
    CEvent returned(true, false);
    std::thread waiter([&] {
        ev.Wait(kInfinite);
        returned.Set(true);
    });
    EXPECT_FALSE(returned.Wait(300));
    ev.Set(true);
    EXPECT_TRUE(returned.Wait(kInfinite));
    waiter.join();
    EXPECT_FALSE(ev.Wait(0));
}

TEST(EventWait, SignalArrivingAtTheDeadlineIsNotLost) {
    // Whatever the interleaving with the deadline, a Set either wakes the wait (which then takes
    // the auto-reset signal) or leaves the signal for the next wait: never both lost.
    for (int i = 0; i < 50; ++i) {
        CEvent ev(false, false);
        std::atomic<bool> got{false};
        std::thread waiter([&] { got = ev.Wait(1); });
        ev.Set(true);
        waiter.join();
        EXPECT_TRUE(got || ev.Wait(0)) << "iteration " << i;
    }
}

TEST(EventPulse, WakesBlockedWaiterAndLeavesEventClear) {
    CEvent ev(true, false);
    bool result = false;
    PulseUntilDone(ev, [&] { result = ev.Wait(kInfinite); });
    EXPECT_TRUE(result);
    EXPECT_FALSE(ev.Wait(0));
}

TEST(EventPulse, ClearsASignalledEvent) {
    CEvent ev(true, true);
    ev.Pulse();
    EXPECT_FALSE(ev.Wait(0));
}

TEST(EventPulse, NeverSatisfiesAMultiEventWait) {
    CEvent ev(true, false);
    int result = 0;
    unsigned int start = FUNCTIONS::GetTickCount();
    PulseUntilDone(ev, [&] { result = CEvent::Wait(200, &ev); });
    EXPECT_EQ(result, -1);
    // Pulses do not end the wait early either.
    EXPECT_GE(FUNCTIONS::GetTickCount() - start, 200u);
}

TEST(EventMultiWait, ReturnsLowestSignalledPositionAndConsumesOnlyIt) {
    CEvent e0(false, false), e1(false, true), e2(false, true);
    EXPECT_EQ(CEvent::Wait(0, &e0, &e1, &e2), 1);
    EXPECT_FALSE(e1.Wait(0));
    EXPECT_TRUE(e2.Wait(0));
}

TEST(EventMultiWait, LeavesManualResetEventSignalled) {
    CEvent e0(false, false), e1(true, true);
    EXPECT_EQ(CEvent::Wait(0, &e0, &e1), 1);
    EXPECT_EQ(CEvent::Wait(0, &e0, &e1), 1);
    EXPECT_TRUE(e1.Wait(0));
}

TEST(EventMultiWait, SkipsNullPointersAndKeepsPositions) {
    CEvent e3(false, true);
    EXPECT_EQ(CEvent::Wait(0, nullptr, nullptr, nullptr, &e3, nullptr), 3);
}

TEST(EventMultiWait, AllNullSleepsForTheTimeoutAndReturnsMinusOne) {
    unsigned int start = FUNCTIONS::GetTickCount();
    EXPECT_EQ(CEvent::Wait(50, nullptr), -1);
    EXPECT_GE(FUNCTIONS::GetTickCount() - start, 50u);
}

TEST(EventMultiWait, ZeroTimeoutTestsWithoutWaiting) {
    CEvent e0(false, false), e1(true, false);
    EXPECT_EQ(CEvent::Wait(0, &e0, &e1), -1);
}

TEST(EventMultiWait, SetOnAnyEventWakesUnlimitedWait) {
    CEvent e0(false, false), e1(true, false), e2(false, false);
    std::atomic<int> result{-2};
    std::thread waiter([&] { result = CEvent::Wait(kInfinite, &e0, &e1, &e2); });
    e2.Set(true);
    waiter.join();
    EXPECT_EQ(result, 2);
    EXPECT_FALSE(e2.Wait(0));
    // The wait's own condition variable is gone from every wake set: these must not touch it.
    e0.Set(true);
    e1.Set(true);
    e1.Pulse();
    EXPECT_EQ(CEvent::Wait(0, &e0, &e1, &e2), 0);
}

TEST(EventMultiWait, ArrayFormBehavesLikeThePointerForm) {
    CEvent e0(false, false), e1(true, false), e2(false, true), e3(false, true);
    CEvent* events[] = {&e0, &e1, &e2, &e3};
    EXPECT_EQ(CEvent::Wait(0, 4, events), 2);
    EXPECT_EQ(CEvent::Wait(0, 4, events), 3);
    EXPECT_EQ(CEvent::Wait(20, 4, events), -1);
    std::atomic<int> result{-2};
    std::thread waiter([&] { result = CEvent::Wait(kInfinite, 4, events); });
    e1.Set(true);
    waiter.join();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(CEvent::Wait(0, 0, events), -1);
}

TEST(EventMultiWait, SeveralWaitersOnOneEventAllWakeOnManualSet) {
    CEvent ev(true, false);
    std::atomic<int> woken{0};
    std::thread a([&] { woken += CEvent::Wait(kInfinite, &ev) == 0; });
    std::thread b([&] { woken += ev.Wait(kInfinite); });
    ev.Set(true);
    a.join();
    b.join();
    EXPECT_EQ(woken, 2);
}

TEST(EventDeadline, DropsTheCurrentTimeBelowOneMillisecond) {
    timespec now{12, 999700000};
    timespec deadline = CEvent::MakeDeadline(now, 500);
    EXPECT_EQ(deadline.tv_sec, 13);
    EXPECT_EQ(deadline.tv_nsec, 499000000);
}

TEST(EventDeadline, LongestFiniteTimeoutDoesNotWrap) {
    timespec now{12, 999700000};
    timespec deadline = CEvent::MakeDeadline(now, 0xFFFFFFFEul);
    // 4294967294 ms + 999 ms = 4294968.293 s
    EXPECT_EQ(deadline.tv_sec, 12 + 4294968);
    EXPECT_EQ(deadline.tv_nsec, 293000000);
}

TEST(EventDeadline, IsMeasuredOnTheMonotonicClock) {
    timespec before, after, deadline;
    clock_gettime(CLOCK_MONOTONIC, &before);
    CEvent::getTimeout(&deadline, 0);
    clock_gettime(CLOCK_MONOTONIC, &after);
    auto ns = [](const timespec& t) { return t.tv_sec * 1000000000LL + t.tv_nsec; };
    EXPECT_GE(ns(deadline), ns(before) - 1000000);
    EXPECT_LE(ns(deadline), ns(after));
    EXPECT_EQ(deadline.tv_nsec % 1000000, 0);
}
