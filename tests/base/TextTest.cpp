#include "base/Text.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

struct NumberCase
{
    const char* szText;
    unsigned long long ullMax;
    bool bOk;
    unsigned long long ullValue;  // expected on success; otherwise the output stays untouched
};

TEST(BaseParseUnsigned, AcceptsWholeCNumbersWithinTheLimit)
{
    const NumberCase cases[] = {
        {"0", 255, true, 0},
        {"255", 255, true, 255},
        {"0x1F", 255, true, 31},
        {"010", 255, true, 8},
        {"4294967295", 0xFFFFFFFFull, true, 0xFFFFFFFFull},
        {"256", 255, false, 7},
        {"4294967296", 0xFFFFFFFFull, false, 7},
        {"99999999999999999999999", ~0ull, false, 7},
        {"", 255, false, 7},
        {" 1", 255, false, 7},
        {"-1", 255, false, 7},
        {"+1", 255, false, 7},
        {"12x", 255, false, 7},
        {"0x", 255, false, 7},
    };
    for (const NumberCase& c : cases)
    {
        unsigned long long ull = 7;
        EXPECT_EQ(c.bOk, base::ParseUnsigned(c.szText, c.ullMax, &ull)) << c.szText;
        EXPECT_EQ(c.ullValue, ull) << c.szText;
    }
}

TEST(BaseText, HexTrimAndCase)
{
    EXPECT_EQ("0x0000FFFF", base::HexText(0xFFFF, 8));
    EXPECT_EQ("0x0ABC", base::HexText(0xABC, 4));
    EXPECT_EQ("0x12345", base::HexText(0x12345, 4));
    EXPECT_EQ(10, base::HexDigitValue('a'));
    EXPECT_EQ(15, base::HexDigitValue('F'));
    EXPECT_EQ(-1, base::HexDigitValue('g'));
    EXPECT_EQ("a b", base::Trim(" \ta b\r "));
    EXPECT_EQ("", base::Trim(" \t\r"));
    EXPECT_EQ("USB#VID_0XFFFF##PID_0X202AB\xE9", base::UpperAscii("USB#VID_0xffff##PID_0x202ab\xE9"));
    EXPECT_EQ('q', base::LowerAscii('Q'));
}

}  // namespace
