#include "markup/Markup.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

TEST(MarkupEscapeText, ReplacesMarkupCharacters)
{
    EXPECT_EQ("a &lt;b&gt; &amp; 'c' \"d\"", CMarkup::EscapeText("a <b> & 'c' \"d\""));
    EXPECT_EQ("&apos;c&apos; &quot;d&quot;", CMarkup::EscapeText("'c' \"d\"", CMarkup::MNF_ESCAPEQUOTES));
    EXPECT_EQ("", CMarkup::EscapeText(static_cast<const char*>(nullptr)));
}

TEST(MarkupEscapeText, KeepsWellFormedReferencesOnRequest)
{
    EXPECT_EQ("&amp; &#65; &x; &amp;1; &amp;a b;&amp;",
              CMarkup::EscapeText("& &#65; &x; &1; &a b;&", CMarkup::MNF_WITHREFS));
    EXPECT_EQ("&amp;amp;", CMarkup::EscapeText("&amp;"));
}

TEST(MarkupUnescapeText, NamedNumericAndUpperCaseReferences)
{
    EXPECT_EQ("&", CMarkup::UnescapeText("&AMP;"));
    EXPECT_EQ("<>\"'&", CMarkup::UnescapeText("&lt;&gt;&quot;&apos;&amp;"));
    EXPECT_EQ("A", CMarkup::UnescapeText("&#65;"));
    EXPECT_EQ("A", CMarkup::UnescapeText("&#x41;"));
    EXPECT_EQ("A", CMarkup::UnescapeText("&#X41;"));
    EXPECT_EQ("\xC2\xA0", CMarkup::UnescapeText("&nbsp;"));
    EXPECT_EQ("\xE2\x82\xAC", CMarkup::UnescapeText("&euro;"));
    EXPECT_EQ("\xCF\x91", CMarkup::UnescapeText("&thetasym;"));
    EXPECT_EQ("\xF0\x9F\x98\x80", CMarkup::UnescapeText("&#x1F600;"));
}

TEST(MarkupUnescapeText, UnknownOrMalformedReferencesStayLiteral)
{
    EXPECT_EQ("&unknown;", CMarkup::UnescapeText("&unknown;"));
    EXPECT_EQ("&#0;", CMarkup::UnescapeText("&#0;"));
    EXPECT_EQ("&#;", CMarkup::UnescapeText("&#;"));
    EXPECT_EQ("&#x;", CMarkup::UnescapeText("&#x;"));
    EXPECT_EQ("&#12a;", CMarkup::UnescapeText("&#12a;"));
    EXPECT_EQ("&#x110000;", CMarkup::UnescapeText("&#x110000;"));
    EXPECT_EQ("&;", CMarkup::UnescapeText("&;"));
    EXPECT_EQ("& amp;", CMarkup::UnescapeText("& amp;"));
    EXPECT_EQ("a & b", CMarkup::UnescapeText("a & b"));
    EXPECT_EQ("&amp", CMarkup::UnescapeText("&amp"));
    // Ten characters before the semicolon is one too many.
    EXPECT_EQ("&#000000065;", CMarkup::UnescapeText("&#000000065;"));
    EXPECT_EQ("A", CMarkup::UnescapeText("&#00000065;"));
    EXPECT_EQ("&\xC3\xA9;", CMarkup::UnescapeText("&\xC3\xA9;"));
    EXPECT_EQ("&&lt", CMarkup::UnescapeText("&&lt"));
    EXPECT_EQ("&<", CMarkup::UnescapeText("&&lt;"));
}

TEST(MarkupUnescapeText, NamesThatDifferOnlyInCaseKeepTheirOwnCharacters)
{
    // Both spellings hash to one bucket; each keeps its own character.
    EXPECT_EQ("\xC3\x81", CMarkup::UnescapeText("&Aacute;"));
    EXPECT_EQ("\xC3\xA1", CMarkup::UnescapeText("&aacute;"));
    EXPECT_EQ("\xCE\x91", CMarkup::UnescapeText("&Alpha;"));
    EXPECT_EQ("\xCE\xB1", CMarkup::UnescapeText("&alpha;"));
    EXPECT_EQ("\xE2\x80\xA1", CMarkup::UnescapeText("&Dagger;"));
    EXPECT_EQ("\xE2\x80\xA0", CMarkup::UnescapeText("&dagger;"));
    EXPECT_EQ("\xC3\xBF", CMarkup::UnescapeText("&yuml;"));
    EXPECT_EQ("\xC5\xB8", CMarkup::UnescapeText("&Yuml;"));
    // A spelling that is neither form is read in lower case.
    EXPECT_EQ("\xC3\xA1", CMarkup::UnescapeText("&AACUTE;"));
    EXPECT_EQ("\xE2\x80\xB2", CMarkup::UnescapeText("&PRIME;"));
}

TEST(MarkupUnescapeText, RespectsLengthArgument)
{
    EXPECT_EQ("&a", CMarkup::UnescapeText("&amp;", 2));
    EXPECT_EQ("&", CMarkup::UnescapeText(std::string("&amp;")));
    EXPECT_EQ(std::string("a\0&", 3), CMarkup::UnescapeText(std::string("a\0&amp;", 7)));
}

TEST(MarkupBase64, LineLayout)
{
    std::vector<unsigned char> v48(48);
    for (size_t i = 0; i < v48.size(); ++i)
        v48[i] = static_cast<unsigned char>(i * 7);
    const std::string str48 = CMarkup::EncodeBase64(v48.data(), 48);
    ASSERT_EQ(2u + 64u + 2u, str48.size());
    EXPECT_EQ("\r\n", str48.substr(0, 2));
    EXPECT_EQ("\r\n", str48.substr(66));
    EXPECT_EQ(std::string::npos, str48.substr(2, 64).find_first_of("\r\n="));

    const unsigned char abc[] = {'a', 'b', 'c'};
    EXPECT_EQ("\r\nYWJj", CMarkup::EncodeBase64(abc, 3));
    EXPECT_EQ("\r\nYQ==\r\n", CMarkup::EncodeBase64(abc, 1));
    EXPECT_EQ("\r\nYWI=\r\n", CMarkup::EncodeBase64(abc, 2));
    EXPECT_EQ("\r\n", CMarkup::EncodeBase64(abc, 0));

    std::vector<unsigned char> v50(50, 0xFF);
    const std::string str50 = CMarkup::EncodeBase64(v50.data(), 50);
    EXPECT_EQ("\r\n" + std::string(64, '/') + "\r\n//8=\r\n", str50);
}

TEST(MarkupBase64, DecodeRoundTripAndLimits)
{
    std::vector<unsigned char> vData(4092);
    for (size_t i = 0; i < vData.size(); ++i)
        vData[i] = static_cast<unsigned char>((i * 31) ^ (i >> 3));
    const std::string strText = CMarkup::EncodeBase64(vData.data(), static_cast<int>(vData.size()));
    std::vector<unsigned char> vOut(4092);
    ASSERT_EQ(4092, CMarkup::DecodeBase64(strText, vOut.data(), 4092));
    EXPECT_EQ(vData, vOut);
    // One byte short: nothing fits, nothing is reported.
    EXPECT_EQ(0, CMarkup::DecodeBase64(strText, vOut.data(), 4091));
    // Size 0 asks for the upper bound.
    EXPECT_EQ(static_cast<int>(strText.size() / 4 * 3 + 3), CMarkup::DecodeBase64(strText, nullptr, 0));

    unsigned char aOut[8] = {};
    EXPECT_EQ(1, CMarkup::DecodeBase64("\r\nYQ==\r\n", aOut, 8));
    EXPECT_EQ('a', aOut[0]);
    EXPECT_EQ(3, CMarkup::DecodeBase64("YW\r\nJj", aOut, 8));
    EXPECT_EQ(0, memcmp(aOut, "abc", 3));
    EXPECT_EQ(0, CMarkup::DecodeBase64("\r\n", aOut, 8));
}

TEST(MarkupUnicode, EncodersAndDecodersRoundTrip)
{
    for (int nChar : {0x41, 0xE9, 0x7FF, 0x800, 0x20AC, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF})
    {
        char aUTF8[4];
        int nLen = 0;
        CMarkup::EncodeCharUTF8(nChar, aUTF8, nLen);
        const char* p = aUTF8;
        EXPECT_EQ(nChar, CMarkup::DecodeCharUTF8(p, aUTF8 + nLen)) << nChar;
        EXPECT_EQ(aUTF8 + nLen, p);
        unsigned short aUTF16[2];
        int nUnits = 0;
        CMarkup::EncodeCharUTF16(nChar, aUTF16, nUnits);
        EXPECT_EQ(nChar < 0x10000 ? 1 : 2, nUnits);
        const unsigned short* q = aUTF16;
        EXPECT_EQ(nChar, CMarkup::DecodeCharUTF16(q, aUTF16 + nUnits)) << nChar;
    }
    const std::string strText = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";
    const int nUnits = CMarkup::UTF8To16(nullptr, strText.data(), static_cast<int>(strText.size()));
    EXPECT_EQ(6, nUnits);
    std::vector<unsigned short> vUnits(static_cast<size_t>(nUnits));
    CMarkup::UTF8To16(vUnits.data(), strText.data(), static_cast<int>(strText.size()));
    std::string strBack(static_cast<size_t>(CMarkup::UTF16To8(nullptr, vUnits.data(), nUnits)), '\0');
    CMarkup::UTF16To8(&strBack[0], vUnits.data(), nUnits);
    EXPECT_EQ(strText, strBack);
}

TEST(MarkupUnicode, LenientDecodingRules)
{
    // A stray continuation byte leads one continuation byte.
    const char szStray[] = "\x80\x80";
    const char* p = szStray;
    EXPECT_EQ(0, CMarkup::DecodeCharUTF8(p, szStray + 2));
    EXPECT_EQ(szStray + 2, p);
    // Continuation bytes only need their top bit.
    const char szLoose[] = "\xC3\xE9";
    p = szLoose;
    EXPECT_EQ((0x03 << 6) | 0x29, CMarkup::DecodeCharUTF8(p, szLoose + 2));
    // Bits 5, 4 and 3 all set: invalid; running out: invalid.
    const char szBad[] = "\xF8\x80\x80\x80\x80";
    p = szBad;
    EXPECT_EQ(-1, CMarkup::DecodeCharUTF8(p, szBad + 5));
    const char szCut[] = "\xE2\x82";
    p = szCut;
    EXPECT_EQ(-1, CMarkup::DecodeCharUTF8(p, szCut + 2));
    // A surrogate takes the next unit unchecked, but not a 0 and not past the end.
    const unsigned short aPair[] = {0xDC00, 0x0041};
    const unsigned short* q = aPair;
    EXPECT_EQ(((0x000 << 10) | 0x041) + 0x10000, CMarkup::DecodeCharUTF16(q, aPair + 2));
    const unsigned short aZero[] = {0xD800, 0x0000};
    q = aZero;
    EXPECT_EQ(-1, CMarkup::DecodeCharUTF16(q, aZero + 2));
    q = aZero;
    EXPECT_EQ(-1, CMarkup::DecodeCharUTF16(q, aZero + 1));
    // Undecodable characters convert to '?'.
    unsigned short aOut[4];
    EXPECT_EQ(2, CMarkup::UTF8To16(aOut, "\xF8z", 2));
    EXPECT_EQ('?', aOut[0]);
    EXPECT_EQ('z', aOut[1]);
}

TEST(MarkupUnicode, DetectUTF8TellsCutOffCharacters)
{
    int nNonASCII = 0;
    bool bAtEnd = true;
    EXPECT_TRUE(CMarkup::DetectUTF8("abc \xC3\xA9", 6, &nNonASCII, &bAtEnd));
    EXPECT_EQ(2, nNonASCII);
    EXPECT_FALSE(bAtEnd);
    EXPECT_FALSE(CMarkup::DetectUTF8("abc \xE2\x82", 6, &nNonASCII, &bAtEnd));
    EXPECT_TRUE(bAtEnd);
    EXPECT_FALSE(CMarkup::DetectUTF8("caf\xE9 ok", 7, &nNonASCII, &bAtEnd));
    EXPECT_FALSE(bAtEnd);
    // The data ends at a NUL byte.
    EXPECT_TRUE(CMarkup::DetectUTF8("ok\0\xFF", 4, &nNonASCII, &bAtEnd));
    EXPECT_EQ(0, nNonASCII);
}
