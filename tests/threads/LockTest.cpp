#include <errno.h>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "threads/Lock.h"

namespace {

int TryFromOtherThread(CLock& lock) {
    int rc = -1;
    std::thread other([&] {
        rc = pthread_mutex_trylock(lock.Mutex());
        if (rc == 0) pthread_mutex_unlock(lock.Mutex());
    });
    other.join();
    return rc;
}

}  // namespace

TEST(LockRecursion, SameThreadReentersAndMustLeaveAsOftenAsItEntered) {
    CLock lock;
    lock.Enter();
    lock.Enter();
    lock.Leave();
    EXPECT_EQ(TryFromOtherThread(lock), EBUSY);
    lock.Leave();
    EXPECT_EQ(TryFromOtherThread(lock), 0);
}

TEST(LockExclusion, ConcurrentIncrementsAreNotLost) {
    CLock lock;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                CLock::CGuard guard(lock);
                ++counter;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 8000);
}
