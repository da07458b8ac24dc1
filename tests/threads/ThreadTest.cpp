#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>

#include "base/Timeout.h"
#include "log/Log.h"
#include "threads/Thread.h"
#include "tools/ScopedLogDaemon.h"

namespace {

// Body that runs until its thread's stop request, counting its runs.
struct StopAwareBody {
    CThread* thread = nullptr;
    std::atomic<int> runs{0};
    CEvent started{true, false};

    static void Run(void* arg) {
        auto* self = static_cast<StopAwareBody*>(arg);
        ++self->runs;
        self->started.Set(true);
        CEvent::Wait(kInfinite, self->thread);
    }
};

void CountRun(void* arg) { ++*static_cast<std::atomic<int>*>(arg); }

class CountingUser : public CThreadUser {
public:
    void Run() override { ++runs; }
    std::atomic<int> runs{0};
};

class ThreadLogTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_log.Ok()) << m_log.Error(); }
    CScopedLogDaemon m_log;
};

}  // namespace

TEST(ThreadStart, RunsTheCallbackWithItsArgumentAndCompletes) {
    std::atomic<int> runs{0};
    CThread thread;
    ASSERT_TRUE(thread.Start(CountRun, &runs));
    EXPECT_TRUE(thread.Wait(kInfinite));
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_TRUE(thread.GetReference()->Wait(0));
}

TEST(ThreadStart, RunsAThreadUser) {
    CountingUser user;
    CThread thread;
    ASSERT_TRUE(thread.Start(&user));
    EXPECT_TRUE(thread.Wait(kInfinite));
    EXPECT_EQ(user.runs, 1);
}

TEST(ThreadStart, NothingToRunIsRefused) {
    CThread thread;
    EXPECT_FALSE(thread.Start(nullptr, nullptr));
    EXPECT_FALSE(thread.Start(static_cast<CThreadUser*>(nullptr)));
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_TRUE(thread.Wait(0));
}

TEST_F(ThreadLogTest, StartOnARunningThreadFailsAndLogs) {
    StopAwareBody body;
    CThread thread;
    body.thread = &thread;
    ASSERT_TRUE(thread.Start(StopAwareBody::Run, &body));
    ASSERT_TRUE(body.started.Wait(kInfinite));
    EXPECT_TRUE(thread.IsRunning());
    EXPECT_FALSE(thread.Start(StopAwareBody::Run, &body));
    LogDaemonMessage msg;
    ASSERT_TRUE(m_log->WaitForText("-- CThread::Start failure - thread already running", &msg));
    EXPECT_EQ(msg.level, 0u);
    EXPECT_FALSE(thread.Wait(0));
    thread.Stop();
    EXPECT_TRUE(thread.Wait(kInfinite));
    EXPECT_EQ(body.runs, 1);
}

TEST(ThreadRestart, StartsAgainAfterTheBodyHasReturned) {
    StopAwareBody body;
    CThread thread;
    body.thread = &thread;
    for (int round = 1; round <= 3; ++round) {
        body.started.Reset();
        ASSERT_TRUE(thread.Start(StopAwareBody::Run, &body)) << "round " << round;
        ASSERT_TRUE(body.started.Wait(kInfinite));
        thread.Stop();
        ASSERT_TRUE(thread.Wait(kInfinite));
        EXPECT_FALSE(thread.IsRunning());
        EXPECT_EQ(body.runs, round);
    }
}

TEST(ThreadRestart, NewStartClearsTheOldStopRequest) {
    std::atomic<int> runs{0};
    CThread thread;
    thread.Stop();
    ASSERT_TRUE(thread.Start(CountRun, &runs));
    ASSERT_TRUE(thread.Wait(kInfinite));
    // The body clears the stop request when it ends.
    EXPECT_EQ(CEvent::Wait(0, &thread), -1);
}

TEST(ThreadWait, NeverStartedThreadReturnsAtOnce) {
    CThread thread;
    EXPECT_TRUE(thread.Wait(0));
    EXPECT_TRUE(thread.Wait(kInfinite));
    EXPECT_FALSE(thread.IsRunning());
}

TEST(ThreadWait, TimesOutWhileTheBodyRuns) {
    StopAwareBody body;
    CThread thread;
    body.thread = &thread;
    ASSERT_TRUE(thread.Start(StopAwareBody::Run, &body));
    EXPECT_FALSE(thread.Wait(20));
    thread.Stop();
    EXPECT_TRUE(thread.Wait(kInfinite));
}

TEST(ThreadDestroy, RaisesTheStopRequestAndWaitsForTheBody) {
    StopAwareBody body;
    auto thread = std::make_unique<CThread>();
    body.thread = thread.get();
    ASSERT_TRUE(thread->Start(StopAwareBody::Run, &body));
    ASSERT_TRUE(body.started.Wait(kInfinite));
    thread.reset();
    EXPECT_EQ(body.runs, 1);
}

TEST(ThreadDestroy, RightAfterTheBodyEndsIsSafe) {
    // The body's last touches of the object race with its destruction; under the sanitizers a
    // touch after the destructor has returned shows up as a use after free.
    for (int i = 0; i < 200; ++i) {
        std::atomic<int> runs{0};
        auto thread = std::make_unique<CThread>();
        ASSERT_TRUE(thread->Start(CountRun, &runs));
        if (i % 2 == 0) thread->Wait(kInfinite);
        thread.reset();
        EXPECT_EQ(runs, 1);
    }
}

TEST(ThreadBody, AnExceptionIsSwallowedAndTheThreadCompletes) {
    CThread thread;
    ASSERT_TRUE(thread.Start([](void*) { throw std::runtime_error("body failed"); }, nullptr));
    EXPECT_TRUE(thread.Wait(kInfinite));
    std::atomic<int> runs{0};
    ASSERT_TRUE(thread.Start(CountRun, &runs));
    EXPECT_TRUE(thread.Wait(kInfinite));
    EXPECT_EQ(runs, 1);
}

TEST(ThreadFireAndForget, ObjectMayBeDestroyedAsSoonAsStartReturns) {
    CEvent ran(true, false);
    CEvent go(true, false);
    struct Args {
        CEvent* go;
        CEvent* ran;
    } args{&go, &ran};
    {
        CThread thread(1);
        ASSERT_TRUE(thread.Start(
            [](void* p) {
                auto* a = static_cast<Args*>(p);
                a->go->Wait(kInfinite);
                a->ran->Set(true);
            },
            &args));
    }
    // The object is gone while the body still waits; it runs to its end regardless.
    go.Set(true);
    EXPECT_TRUE(ran.Wait(kInfinite));
}

TEST_F(ThreadLogTest, FireAndForgetCannotBeStartedTwice) {
    CEvent ran(false, false);
    auto setEvent = [](void* p) { static_cast<CEvent*>(p)->Set(true); };
    CThread thread(1);
    ASSERT_TRUE(thread.Start(setEvent, &ran));
    EXPECT_FALSE(thread.Start(setEvent, &ran));
    EXPECT_TRUE(m_log->WaitForText("-- CThread::Start failure - thread already running"));
    EXPECT_TRUE(ran.Wait(kInfinite));
    EXPECT_FALSE(ran.Wait(100));
}

TEST_F(ThreadLogTest, StopRequestCannotBeWithdrawnOrPulsed) {
    CThread thread;
    thread.Stop();
    thread.Set(false);
    thread.Reset();
    thread.Pulse();
    EXPECT_TRUE(m_log->WaitForText("-- CThread::Set(FALSE) Illogical Function Call"));
    EXPECT_TRUE(m_log->WaitForText("-- CThread::Reset() Illogical Function Call"));
    EXPECT_TRUE(m_log->WaitForText("-- CThread::Pulse() Illogical Function Call"));
    EXPECT_EQ(CEvent::Wait(0, &thread), 0);
}

TEST_F(ThreadLogTest, FireAndForgetIgnoresStopRequests) {
    CThread thread(1);
    thread.Set(true);
    EXPECT_TRUE(m_log->WaitForText("-- CThread::Set(FALSE) Illogical Function Call"));
    EXPECT_EQ(CEvent::Wait(0, &thread), -1);
}
