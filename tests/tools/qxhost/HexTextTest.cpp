#include "tools/qxhost/HexText.h"

#include <gtest/gtest.h>

namespace {

std::vector<unsigned char> Bytes(std::initializer_list<unsigned char> list) { return list; }

} // namespace

TEST(HexTextParse, AcceptsTheFormsPeopleType)
{
    std::vector<unsigned char> vec;
    std::string strError;
    for (const char* pszText : {"01000000", "01 00 00 00", "01:00:00:00", "0x01000000", " 01, 00,00 00 "}) {
        ASSERT_TRUE(CHexText::Parse(pszText, &vec, &strError)) << pszText << ": " << strError;
        EXPECT_EQ(vec, Bytes({1, 0, 0, 0})) << pszText;
    }
    ASSERT_TRUE(CHexText::Parse("1B40aF", &vec, &strError));
    EXPECT_EQ(vec, Bytes({0x1B, 0x40, 0xAF}));
    ASSERT_TRUE(CHexText::Parse("", &vec, &strError));
    EXPECT_TRUE(vec.empty());
}

TEST(HexTextParse, RefusesMalformedTextAndSaysWhere)
{
    const std::pair<const char*, const char*> cases[] = {
        {"0g", "'g' at position 2 is not a hex digit"},
        {"020", "lone hex digit at position 3 (a byte is two digits)"},
        {"01 0 02", "lone hex digit at position 4 (a byte is two digits)"},
        {"zz", "'z' at position 1 is not a hex digit"},
        {":01", "separator ':' at position 1 is not between two bytes"},
        {"01::02", "separator ':' at position 4 is not between two bytes"},
        {"01,", "separator at the end"},
    };
    for (const auto& c : cases) {
        std::vector<unsigned char> vec = {9};
        std::string strError;
        EXPECT_FALSE(CHexText::Parse(c.first, &vec, &strError)) << c.first;
        EXPECT_EQ(strError, c.second) << c.first;
        EXPECT_EQ(vec, Bytes({9})) << "output untouched for " << c.first;
    }
}

TEST(HexTextFormat, DumpsAndCutsLongData)
{
    const unsigned char auc[] = {0x00, 0x1b, 0xff, 0x40};
    EXPECT_EQ(CHexText::Format(auc, 4), "00 1b ff 40");
    EXPECT_EQ(CHexText::Format(auc, 4, 2), "00 1b ... (4 bytes)");
    EXPECT_EQ(CHexText::Format(nullptr, 0), "");
}

TEST(HexTextEscape, ShowsControlBytesAndKeepsText)
{
    const std::string str("\x1b@Caf\xc3\xa9 \\ 3.20\r\n\t\x7f", 18);
    EXPECT_EQ(CHexText::Escape(reinterpret_cast<const unsigned char*>(str.data()), str.size()),
              "\\x1B@Caf\\xC3\\xA9 \\\\ 3.20\\r\\n\\t\\x7F");
    const std::string strLines = "one\ntwo";
    EXPECT_EQ(CHexText::Escape(reinterpret_cast<const unsigned char*>(strLines.data()), strLines.size(), true),
              "one\\n\ntwo");
}
