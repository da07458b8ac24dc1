#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "threads/Functions.h"

// Callers compare readings by unsigned difference and treat it as milliseconds: the tick must
// advance by at least the time slept, in milliseconds (not seconds, not microseconds).
TEST(TickCount, AdvancesInMillisecondsByAtLeastTheTimeSlept) {
    const unsigned int ulBefore = FUNCTIONS::GetTickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const unsigned int ulElapsed = FUNCTIONS::GetTickCount() - ulBefore;
    EXPECT_GE(ulElapsed, 50u);
    EXPECT_LT(ulElapsed, 50000u) << "a reading in microseconds would be a thousand times larger";
}
