#include <gtest/gtest.h>
#include <time.h>

#include "threads/Functions.h"

namespace {

unsigned int MonotonicMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<unsigned int>(now.tv_sec) * 1000u +
           static_cast<unsigned int>(now.tv_nsec / 1000000);
}

}  // namespace

TEST(TickCount, FollowsTheMonotonicClockInMilliseconds) {
    unsigned int before = MonotonicMs();
    unsigned int tick = FUNCTIONS::GetTickCount();
    unsigned int after = MonotonicMs();
    // Unsigned differences, as callers compute them, so a wrap in between does not matter.
    EXPECT_LE(tick - before, after - before);
}
