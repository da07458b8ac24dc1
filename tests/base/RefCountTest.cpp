#include "base/RefCount.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <utility>
#include <vector>

#include "base/SharedRefCount.h"

namespace
{

enum class Step { Add, Drop };

struct CountCase
{
    int nInitial;
    Step step;
    int nCountAfter;
    bool bLast;  // what Drop reports; Add reports the new count instead
};

TEST(BaseRefCount, AddReturnsTheNewCountAndDropReportsTheLast)
{
    const CountCase cases[] = {
        {1, Step::Add, 2, false},
        {5, Step::Add, 6, false},
        {3, Step::Drop, 2, false},
        {2, Step::Drop, 1, false},
        {1, Step::Drop, 0, true},
        // A count already given back too often still reports the last drop rather than never.
        {0, Step::Drop, -1, true},
    };
    for (const CountCase& c : cases) {
        CRefCount count(c.nInitial);
        if (c.step == Step::Add) {
            EXPECT_EQ(count.Add(), c.nCountAfter) << "from " << c.nInitial;
        } else {
            EXPECT_EQ(count.Drop(), c.bLast) << "from " << c.nInitial;
        }
        EXPECT_EQ(count.Count(), c.nCountAfter) << "from " << c.nInitial;
    }
}

TEST(BaseRefCount, ExactlyOneOfManyConcurrentDropsIsTheLast)
{
    constexpr int kThreads = 8;
    constexpr int kDropsPerThread = 1000;
    CRefCount count(kThreads * kDropsPerThread);
    std::atomic<int> nLast{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kDropsPerThread; ++i) {
                count.Add();
                count.Drop();
                if (count.Drop()) ++nLast;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(nLast.load(), 1);
    EXPECT_EQ(count.Count(), 0);
}

TEST(BaseSharedRefCount, CopiesShareOneCounterAndTheLastReleaseReportsIt)
{
    CSharedRefCount first = CSharedRefCount::New();
    CSharedRefCount copy(first);
    CSharedRefCount assigned;
    assigned = copy;
    EXPECT_EQ(first.Count(), 3);
    EXPECT_TRUE(first == assigned);
    EXPECT_TRUE(first != CSharedRefCount::New());

    EXPECT_FALSE(first.Release());
    EXPECT_FALSE(first.IsSet());
    EXPECT_FALSE(first.Release()) << "an empty holder gives back nothing";
    EXPECT_EQ(copy.Count(), 2) << "the copy outlives the original";
    EXPECT_FALSE(copy.Release());
    EXPECT_TRUE(assigned.Release());
    EXPECT_EQ(assigned.Count(), 0);
}

TEST(BaseSharedRefCount, AssignmentGivesBackTheOldCounterAndKeepsItsOwn)
{
    CSharedRefCount a = CSharedRefCount::New();
    CSharedRefCount b = CSharedRefCount::New();
    CSharedRefCount aCopy(a);
    a = b;
    EXPECT_EQ(aCopy.Count(), 1) << "a gave its reference on the old counter back";
    EXPECT_EQ(b.Count(), 2);

    EXPECT_EQ(b.Share(aCopy), 2) << "Share reports the count after joining";
    EXPECT_EQ(a.Count(), 1);

    CSharedRefCount sole = CSharedRefCount::New();
    CSharedRefCount& self = sole;
    sole = self;
    EXPECT_EQ(sole.Count(), 1) << "a sole holder assigned to itself keeps its counter";

    CSharedRefCount moved(std::move(aCopy));
    EXPECT_FALSE(aCopy.IsSet());
    EXPECT_EQ(moved.Count(), 2) << "a move hands the reference over without counting";
}

}  // namespace
