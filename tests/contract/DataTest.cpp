#include "contract/Data.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "tests/support/TestData.h"

namespace {

// The block a CData points to (the object is that one pointer).
const unsigned char* BlockOf(const CData& data)
{
    const unsigned char* pBlock;
    std::memcpy(&pBlock, &data, sizeof pBlock);
    return pBlock;
}

std::int32_t CountOf(const CData& data)
{
    std::int32_t lCount;
    std::memcpy(&lCount, BlockOf(data), sizeof lCount);
    return lCount;
}

using testsupport::BytesOf;

TEST(CDataConstruction, NullSourceOrZeroLengthIsEmpty)
{
    const unsigned char ab[5] = {1, 2, 3, 4, 5};
    const CData fromNull(nullptr, 5);
    const CData fromZero(ab, 0);
    const CData byDefault;
    for (const CData* p : {&fromNull, &fromZero, &byDefault}) {
        EXPECT_EQ(BlockOf(*p), nullptr);
        EXPECT_EQ(p->Length(), 0u);
        EXPECT_EQ(p->Buffer(), nullptr);
    }
}

TEST(CDataConstruction, BlockHoldsCountLengthAndPayload)
{
    const unsigned char ab[3] = {0xAA, 0x00, 0x55};
    const CData data(ab, sizeof ab);
    const unsigned char* pBlock = BlockOf(data);
    ASSERT_NE(pBlock, nullptr);
    std::int32_t lCount;
    std::uint32_t ulLength;
    std::memcpy(&lCount, pBlock, 4);
    std::memcpy(&ulLength, pBlock + 4, 4);
    EXPECT_EQ(lCount, 1);
    EXPECT_EQ(ulLength, 3u);
    EXPECT_EQ(data.Buffer(), pBlock + 8);
    EXPECT_EQ(0, std::memcmp(pBlock + 8, ab, 3));
}

TEST(CDataConstruction, TwoPartsAreConcatenatedLeavingOutAbsentParts)
{
    const unsigned char ab[2] = {'a', 'b'};
    const unsigned char c[1] = {'c'};
    EXPECT_EQ(BytesOf(CData(ab, 2, c, 1)), (std::vector<unsigned char>{'a', 'b', 'c'}));
    EXPECT_EQ(BytesOf(CData(ab, 2, nullptr, 1)), (std::vector<unsigned char>{'a', 'b'}));
    EXPECT_EQ(BytesOf(CData(ab, 2, c, 0)), (std::vector<unsigned char>{'a', 'b'}));
    EXPECT_EQ(BytesOf(CData(nullptr, 0, c, 1)), (std::vector<unsigned char>{'c'}));
    EXPECT_EQ(BytesOf(CData(ab, 0, c, 1)), (std::vector<unsigned char>{'c'}));
    const CData neither(nullptr, 3, ab, 0);
    EXPECT_EQ(BlockOf(neither), nullptr);
}

TEST(CDataSharing, CopiesShareTheBlockAndCountIt)
{
    const unsigned char ab[4] = {1, 2, 3, 4};
    CData a(ab, 4);
    {
        CData b(a);
        CData c;
        c = b;
        EXPECT_EQ(BlockOf(b), BlockOf(a));
        EXPECT_EQ(BlockOf(c), BlockOf(a));
        EXPECT_EQ(CountOf(a), 3);
    }
    EXPECT_EQ(CountOf(a), 1);
}

TEST(CDataSharing, AssignmentReleasesTheOldBlockAndSelfAssignmentKeepsIt)
{
    const unsigned char ab[2] = {1, 2};
    CData a(ab, 2);
    CData b(ab, 1);
    CData keep(b);
    b = a;
    EXPECT_EQ(CountOf(keep), 1) << "b's old block lost b's reference";
    EXPECT_EQ(CountOf(a), 2);
    CData& alias = a;
    a = alias;
    EXPECT_EQ(CountOf(a), 2);
    EXPECT_EQ(BytesOf(a), (std::vector<unsigned char>{1, 2}));
    b = CData();
    EXPECT_EQ(b.Length(), 0u);
    EXPECT_EQ(CountOf(a), 1);
}

TEST(CDataSharing, ClearReferenceDropsOneReferenceOfARawBlock)
{
    CData::ClearReference(nullptr);
    const unsigned char ab[1] = {7};
    CData a(ab, 1);
    CData b(a);
    void* pBlock = const_cast<unsigned char*>(BlockOf(a));
    // Hand b's reference over to a raw pointer, as code that builds result blocks by hand does.
    std::memset(static_cast<void*>(&b), 0, sizeof b);
    EXPECT_EQ(CountOf(a), 2);
    CData::ClearReference(pBlock);
    EXPECT_EQ(CountOf(a), 1);
}

TEST(CDataThreads, CopiesAndReleasesRacingOnSeveralThreadsFreeTheBlockOnce)
{
    // Eight threads copy and drop references to blocks shared with the others, and the last holder
    // of each block is whichever thread happens to finish last: the sanitizer builds catch a lost
    // count (leak or double free).
    constexpr int kThreads = 8;
    constexpr int kRounds = 2000;
    for (int round = 0; round < 20; ++round) {
        const unsigned char ab[16] = {};
        CData shared(ab, sizeof ab);
        std::vector<std::thread> threads;
        std::vector<CData> last(kThreads);
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&shared, &last, t] {
                std::vector<CData> held;
                for (int i = 0; i < kRounds; ++i) {
                    held.push_back(shared);
                    if (held.size() > 8)
                        held.erase(held.begin());
                }
                last[t] = held.back();
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        EXPECT_EQ(CountOf(shared), 1 + kThreads);
        shared = CData();
        std::vector<std::thread> droppers;
        for (int t = 0; t < kThreads; ++t)
            droppers.emplace_back([&last, t] { last[t] = CData(); });
        for (std::thread& thread : droppers)
            thread.join();
    }
}

} // namespace
