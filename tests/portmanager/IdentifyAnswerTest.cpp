// The identification answer parsers on plain byte buffers.
#include "portmanager/IdentifyAnswer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/TestData.h"

namespace {

using Bytes = std::vector<unsigned char>;

using testsupport::Concat;
using testsupport::ToBytes;

Bytes Z(const std::string& s) { return Concat({ToBytes(s), Bytes{0}}); }

struct Online {
    CIdentifyAnswer::Outcome outcome;
    std::string model;
    unsigned char id;
    std::string key;
    bool hasKey;
};

Online ParseOnline(const Bytes& data, size_t ulModelSize = 256)
{
    std::vector<char> model(ulModelSize, 'x');
    Online r{};
    r.outcome = CIdentifyAnswer::ParseOnline(data.data(), data.size(), model.data(), model.size(), &r.id, &r.key,
                                             &r.hasKey);
    r.model = model.data();
    return r;
}

struct Offline {
    CIdentifyAnswer::Outcome outcome;
    std::string model;
    unsigned char id;
};

Offline ParseOffline(const Bytes& data, size_t ulModelSize = 256)
{
    std::vector<char> model(ulModelSize, 'x');
    Offline r{};
    r.outcome = CIdentifyAnswer::ParseOffline(data.data(), data.size(), model.data(), model.size(), &r.id);
    r.model = model.data();
    return r;
}

TEST(IdentifyOnline, ShorterModelBlockAfterUnderscoreLeavesNoTail)
{
    const Online r = ParseOnline(Concat({ToBytes("_"), Z("LONGER-NAME"), ToBytes("7MC"), Z("QX-1"), Bytes{0x21}}));
    EXPECT_EQ(r.model, "QX-1");
    EXPECT_EQ(r.id, 0x21);
}

TEST(IdentifyOnline, LastBootKeyWinsAndEmptyKeyCounts)
{
    Online r = ParseOnline(Concat({ToBytes("1"), Z("FIRST"), ToBytes("1"), Z("SECOND")}));
    EXPECT_EQ(r.key, "SECOND");
    r = ParseOnline(Concat({ToBytes("1"), Bytes{0}}));
    EXPECT_EQ(r.outcome, CIdentifyAnswer::BOOT_KEY);
    EXPECT_TRUE(r.hasKey);
    EXPECT_EQ(r.key, "");
}

TEST(IdentifyOnline, BootKeyIsTakenOnlyOnceComplete)
{
    const Bytes whole = Concat({ToBytes("1"), Z("KEY-123")});
    for (size_t n = 0; n < whole.size(); ++n) {
        const Online r = ParseOnline(Bytes(whole.begin(), whole.begin() + n));
        EXPECT_EQ(r.outcome, CIdentifyAnswer::NONE) << n;
        EXPECT_FALSE(r.hasKey) << n;
    }
    EXPECT_EQ(ParseOnline(whole).key, "KEY-123");
}

TEST(IdentifyOnline, BootKeyFollowedByDeviceIDReportsBoth)
{
    const Online r = ParseOnline(Concat({ToBytes("1"), Z("K"), Bytes{0x22}}));
    EXPECT_EQ(r.outcome, CIdentifyAnswer::DEVICE_ID);
    EXPECT_EQ(r.id, 0x22);
    EXPECT_EQ(r.key, "K");
}

TEST(IdentifyOnline, StatusBlockIsSkippedWhole)
{
    // 0x0F, read alone, would be a DeviceID; inside the status block it is not.
    const Online r = ParseOnline(Concat({Bytes{0x14, 0x00, 0x00, 0x0F}, ToBytes("_"), Z("QX-K40V"), Bytes{0x20}}));
    EXPECT_EQ(r.id, 0x20);
    EXPECT_EQ(r.model, "QX-K40V");
    // A status block whose bytes would start a boot key or a model block.
    const Online r2 = ParseOnline(Concat({Bytes{0x10, 0x31, 0x5F, 0x41}, Bytes{0x22}}));
    EXPECT_EQ(r2.outcome, CIdentifyAnswer::DEVICE_ID);
    EXPECT_FALSE(r2.hasKey);
    EXPECT_EQ(r2.id, 0x22);
    EXPECT_EQ(r2.model, "");
}

TEST(IdentifyOnline, OtherInformationBlocksAreSkipped)
{
    // "7L1" and other 0x3x blocks run to their zero byte; their letters are no DeviceID.
    const Online r = ParseOnline(Concat({ToBytes("7L1"), Z("ABC"), ToBytes("3"), Z("DEF"), ToBytes("_"), Z("M"), Bytes{0x23}}));
    EXPECT_EQ(r.id, 0x23);
    EXPECT_EQ(r.model, "M");
}

TEST(IdentifyOnline, IncompleteAnswersGiveNothing)
{
    const Bytes whole = Concat({ToBytes("_"), Z("QX-K40V"), Bytes{0x20}});
    for (size_t n = 0; n + 1 < whole.size(); ++n)
        EXPECT_EQ(ParseOnline(Bytes(whole.begin(), whole.begin() + n)).outcome, CIdentifyAnswer::NONE) << n;
}

TEST(IdentifyOnline, LongerModelNameIsCutAndItsTailIsNoDeviceID)
{
    // 'A' (0x41) would pass for a DeviceID if the tail of the name were parsed as blocks.
    const std::string name(300, 'A');
    for (const char* prefix : {"7MC", "_"}) {
        const Online r = ParseOnline(Concat({ToBytes(prefix), Z(name), Bytes{0x20}}));
        EXPECT_EQ(r.model, std::string(255, 'A')) << prefix;
        EXPECT_EQ(r.id, 0x20) << prefix;
    }
    // A small buffer is respected the same way.
    const Online small = ParseOnline(Concat({ToBytes("_"), Z("QX-K40V"), Bytes{0x20}}), 4);
    EXPECT_EQ(small.model, "QX-");
    EXPECT_EQ(small.id, 0x20);
}

TEST(IdentifyOnline, NothingUsableInNoise)
{
    const Bytes noise(1024, 0x80);
    const Online r = ParseOnline(noise);
    EXPECT_EQ(r.outcome, CIdentifyAnswer::NONE);
    EXPECT_EQ(r.id, 255);
    EXPECT_EQ(ParseOnline(Bytes{}).outcome, CIdentifyAnswer::NONE);
}

TEST(IdentifyOffline, ModelAfterDeviceIDIsNotReported)
{
    const Offline r = ParseOffline(Concat({ToBytes("7L1"), Bytes{0x20, 0x00}, ToBytes("7MC"), Z("LATE")}));
    EXPECT_EQ(r.model, "");
}

TEST(IdentifyOffline, UnderscoreBootKeyAndBareBytesAreNotAnswers)
{
    // Online answers mean nothing here: the underscore block is read byte by byte, the boot-mode
    // block is skipped to its zero byte, a bare byte is no DeviceID.
    const Offline r = ParseOffline(Concat({ToBytes("_"), Z("QX-K40V"), ToBytes("1"), Z("KEY"), Bytes{0x20}}));
    EXPECT_EQ(r.outcome, CIdentifyAnswer::NONE);
    EXPECT_EQ(r.id, 255);
}

TEST(IdentifyOffline, StatusBlocksAndOtherBlocksAreSkipped)
{
    const Offline r = ParseOffline(
        Concat({Bytes{0x14, 0x37, 0x4C, 0x31}, ToBytes("3"), Z("7L1X"), ToBytes("7XX"), Z(""), ToBytes("7MC"), Z("M"), ToBytes("7L1"), Bytes{5, 0}}));
    EXPECT_EQ(r.outcome, CIdentifyAnswer::DEVICE_ID);
    EXPECT_EQ(r.id, 5);
    EXPECT_EQ(r.model, "M");
}

TEST(IdentifyOffline, DeviceIDByteStillToComeIsWaitedFor)
{
    EXPECT_EQ(ParseOffline(ToBytes("7L1")).outcome, CIdentifyAnswer::NONE);
    EXPECT_EQ(ParseOffline(ToBytes("7L")).outcome, CIdentifyAnswer::NONE);
    EXPECT_EQ(ParseOffline(Concat({ToBytes("7L1"), Bytes{0x00}})).outcome, CIdentifyAnswer::DEVICE_ID);
}

TEST(IdentifyOffline, LongModelNameIsCut)
{
    const Offline r = ParseOffline(Concat({ToBytes("7MC"), Z(std::string(400, 'B')), ToBytes("7L1"), Bytes{1, 0}}));
    EXPECT_EQ(r.model, std::string(255, 'B'));
    EXPECT_EQ(r.id, 1);
}

}  // namespace
