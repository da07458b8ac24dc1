#include "contract/PHString.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "contract/PortHandler.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestData.h"

namespace {

using testsupport::BytesOf;

std::vector<std::uint16_t> UnitsOf(const CData& data)
{
    std::vector<std::uint16_t> vec(data.Length() / 2);
    std::memcpy(vec.data(), data.Buffer(), vec.size() * 2);
    return vec;
}

using testsupport::ToData;

CData Units(const std::vector<std::uint16_t>& vec)
{
    return CData(reinterpret_cast<const unsigned char*>(vec.data()), static_cast<unsigned int>(vec.size() * 2));
}

const std::string kInvalid = "** CPHString::UTF8toUCS2 Invalid UTF-8 character ";

TEST(CPHStringPack, EightBitFormIsTheBytesAndOneZero)
{
    EXPECT_EQ(BytesOf(CPHString::PackString("AB", 0)), (std::vector<unsigned char>{'A', 'B', 0}));
    EXPECT_EQ(BytesOf(CPHString::PackString("", 0)), (std::vector<unsigned char>{0}));
    // The UCS-2 flag is the only bit that matters.
    EXPECT_EQ(BytesOf(CPHString::PackString("\xC3\xA9", PH_CONFIG_GET_COMPONENT_UI)),
              (std::vector<unsigned char>{0xC3, 0xA9, 0}));
}

TEST(CPHStringPack, Ucs2FormIsTheUnitsAndOneZeroUnit)
{
    EXPECT_EQ(BytesOf(CPHString::PackString("", PH_UCS2_STRINGS)), (std::vector<unsigned char>{0, 0}));
    EXPECT_EQ(UnitsOf(CPHString::PackString("A\xC3\xA9", PH_UCS2_STRINGS)),
              (std::vector<std::uint16_t>{0x0041, 0x00E9, 0x0000}));
    const CData packed = CPHString::PackString("\xE3\x81\x82x", PH_CONFIG_GET_COMPONENT_UI | PH_UCS2_STRINGS);
    EXPECT_EQ(packed.Length(), 6u);
    EXPECT_EQ(UnitsOf(packed), (std::vector<std::uint16_t>{0x3042, 'x', 0}));
}

TEST(CPHStringPack, InvalidUtf8IsReportedAndReplacedOneByteAtATime)
{
    CLogCapture log;
    EXPECT_EQ(UnitsOf(CPHString::PackString("A\xC3", PH_UCS2_STRINGS)), (std::vector<std::uint16_t>{'A', '?', 0}));
    EXPECT_EQ(UnitsOf(CPHString::PackString("\xF0\x9F\x98\x80", PH_UCS2_STRINGS)),
              (std::vector<std::uint16_t>{'?', '?', '?', '?', 0}));
    // A stray continuation byte, and a 3-byte sequence cut short by the end.
    EXPECT_EQ(UnitsOf(CPHString::PackString("\x80z\xE3\x81", PH_UCS2_STRINGS)),
              (std::vector<std::uint16_t>{'?', 'z', '?', '?', 0}));
    ASSERT_TRUE(log.Settle());
    std::size_t nInvalid = 0;
    for (const std::string& text : log.Texts(0))
        nInvalid += text.compare(0, kInvalid.size(), kInvalid) == 0;
    EXPECT_EQ(nInvalid, 1u + 4 + 3) << "one line per invalid byte";
    EXPECT_EQ(log.Count(0, kInvalid + "c3"), 1u);
    EXPECT_EQ(log.Count(0, kInvalid + "f0"), 1u);
    EXPECT_EQ(log.Count(0, kInvalid + "9f"), 1u);
    EXPECT_EQ(log.Count(0, kInvalid + "98"), 1u);
    EXPECT_EQ(log.Count(0, kInvalid + "80"), 2u);
    EXPECT_EQ(log.Count(0, kInvalid + "e3"), 1u);
    EXPECT_EQ(log.Count(0, kInvalid + "81"), 1u);
}

TEST(CPHStringExtract, EightBitStringsAreTakenFromTheFrontOneByOne)
{
    CData data = ToData(std::vector<unsigned char>{0x41, 0x42, 0x00, 0x43, 0x44, 0x00});
    EXPECT_EQ(CPHString::ExtractString(data, 0), "AB");
    EXPECT_EQ(BytesOf(data), (std::vector<unsigned char>{0x43, 0x44, 0x00}));
    EXPECT_EQ(CPHString::ExtractString(data, 0), "CD");
    EXPECT_EQ(data.Length(), 0u);
    EXPECT_EQ(data.Buffer(), nullptr);
    EXPECT_EQ(CPHString::ExtractString(data, 0), "");
    EXPECT_EQ(data.Length(), 0u);
}

TEST(CPHStringExtract, StringWithoutTerminatorRunsToTheEnd)
{
    CData data = ToData(std::vector<unsigned char>{0x41, 0x42, 0x43});
    EXPECT_EQ(CPHString::ExtractString(data, 0), "ABC");
    EXPECT_EQ(data.Length(), 0u);

    CData wide = Units({0x0041, 0x0042});
    EXPECT_EQ(CPHString::ExtractString(wide, 1), "AB");
    EXPECT_EQ(wide.Length(), 0u);

    // An odd trailing byte is no unit of its own; the missing terminator takes it along.
    CData odd = ToData(std::vector<unsigned char>{0x41, 0x00, 0x42});
    EXPECT_EQ(CPHString::ExtractString(odd, 1), "A");
    EXPECT_EQ(odd.Length(), 0u);
}

TEST(CPHStringExtract, Ucs2StringsAreConvertedToUtf8UnitByUnit)
{
    CData data = Units({0x3042, 0x0000, 0x0041, 0x0000});
    EXPECT_EQ(CPHString::ExtractString(data, 1), "\xE3\x81\x82");
    EXPECT_EQ(UnitsOf(data), (std::vector<std::uint16_t>{0x0041, 0x0000}));
    EXPECT_EQ(CPHString::ExtractString(data, 1), "A");
    EXPECT_EQ(data.Length(), 0u);

    // Two-byte forms, and a surrogate pair that is converted half by half.
    CData more = Units({0x00E9, 0x07FF, 0xD83D, 0xDE00, 0x0000});
    EXPECT_EQ(CPHString::ExtractString(more, 1), "\xC3\xA9\xDF\xBF\xED\xA0\xBD\xED\xB8\x80");
}

TEST(CPHStringExtract, ExtractingLeavesOtherCopiesOfTheBufferAlone)
{
    CData data = ToData(std::vector<unsigned char>{'x', 0, 'y', 0});
    const CData copy(data);
    EXPECT_EQ(CPHString::ExtractString(data, 0), "x");
    EXPECT_EQ(BytesOf(copy), (std::vector<unsigned char>{'x', 0, 'y', 0}));
}

TEST(CPHStringRoundTrip, PackedSequencesWalkBackInBothForms)
{
    const std::vector<std::string> texts = {"QX/Printer1", "", "\xE3\x83\x9D\xE3\x83\xBC\xE3\x83\x88", "\xC3\xA9t\xC3\xA9"};
    for (unsigned int ulFlags : {0u, PH_UCS2_STRINGS}) {
        CData all;
        for (const std::string& text : texts) {
            const CData packed = CPHString::PackString(text, ulFlags);
            all = CData(all.Buffer(), all.Length(), packed.Buffer(), packed.Length());
        }
        for (const std::string& text : texts)
            EXPECT_EQ(CPHString::ExtractString(all, static_cast<int>((ulFlags >> 27) & 1)), text);
        EXPECT_EQ(all.Length(), 0u);
    }
}

} // namespace
