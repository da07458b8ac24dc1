#include "tools/qxhost/EventClock.h"

#include <gtest/gtest.h>

namespace {

using std::chrono::milliseconds;

TEST(EventClock, ShowsTheOffsetFromItsStart)
{
    const CEventClock::time_point start = std::chrono::steady_clock::now();
    const CEventClock clock(start);
    const struct {
        CEventClock::time_point when;
        const char* pszShown;
    } cases[] = {
        {start, "+0.000s"},
        {start + milliseconds(1234), "+1.234s"},
        // Raised while the port was opening, before the clock started.
        {start - milliseconds(1), "+0.000s"},
        {start - milliseconds(2500), "+0.000s"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.pszShown, clock.Offset(c.when));
}

} // namespace
