#include "component/ConnectionManager.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/component/FakeComponent.h"
#include "tests/support/LogCapture.h"

namespace {

unsigned int IgnoringSink(void*, unsigned int, CData) { return 0; }

const char kAlert[] = "** CConnectionManager instance count unusually high!";

TEST(ConnectionManagerCopies, EveryLiveCopyFromThe101stOnRaisesTheAlert)
{
    CLogCapture log;
    CFakeComponent::Reset();
    _PORTHANDLERCOMPONENT next = {};
    next.Event = &IgnoringSink;
    void* const h = reinterpret_cast<void*>(0x77);
    ASSERT_EQ(CFakeManager::ExternalOpen(h, "QX/P1", &next), PHR_SUCCESS);
    {
        std::vector<CFakeManager> copies;
        copies.reserve(200);
        copies.push_back(CFakeManager::GetConnectionManager(h, 0));
        while (copies.front().InstanceCount() < 100)
            copies.push_back(copies.front());
        ASSERT_TRUE(log.Settle());
        EXPECT_EQ(log.Count(999, kAlert), 0u) << "100 live copies are still usual";

        copies.push_back(copies.front());
        ASSERT_TRUE(log.Settle());
        EXPECT_EQ(log.Count(999, kAlert), 1u);

        copies.push_back(copies.front());
        copies.push_back(copies.front());
        ASSERT_TRUE(log.Settle());
        EXPECT_EQ(log.Count(999, kAlert), 3u);
        EXPECT_EQ(copies.front().InstanceCount(), 103);
    }
    // Back to usual numbers: no alert.
    CFakeManager one = CFakeManager::GetConnectionManager(h, 0);
    EXPECT_TRUE(one.IsValid());
    EXPECT_EQ(CFakeManager::ExternalClose(h), PHR_SUCCESS);
    ASSERT_TRUE(log.Settle());
    EXPECT_EQ(log.Count(999, kAlert), 3u);
}

} // namespace
