#include "mappingtool/core/ProfileSection.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mappingtool/core/Utf.h"

// Expected results were taken from the Windows profile call (GetPrivateProfileSectionW) run under Wine on the
// same file contents.
namespace quillon {
namespace {

struct Section {
    uint32_t count;
    std::u16string units;  // the buffer through the zero that ends it
};

Section Read(const std::string& file, uint32_t size = 30000, const std::u16string& name = u"Quillon") {
    const std::u16string text = DecodeProfileFile(reinterpret_cast<const uint8_t*>(file.data()), file.size());
    std::vector<char16_t> buffer(size + 4, u'#');
    const uint32_t count = ReadProfileSection(text, name, buffer.data(), size);
    const size_t shown = std::min<size_t>(static_cast<size_t>(count) + 1, size);
    EXPECT_EQ(u'#', buffer[size]) << "wrote beyond the buffer";
    return Section{count, std::u16string(buffer.data(), shown)};
}

std::u16string Z(const char16_t* text, size_t n) { return std::u16string(text, n); }
// The literal with its own terminating zero, which stands for the zero that ends the buffer.
template <size_t N>
std::u16string Z(const char16_t (&text)[N]) {
    return std::u16string(text, N);
}

TEST(ProfileSectionLines, TrimsAroundKeyAndValueAndKeepsTheRest) {
    const Section s = Read("x\n[quillon]\n  FontGroupName = \"A b\" \n\t0x41 =\t1 : 0x42 ; c\n; comment\n  ;c2\n\n"
                           "#hash\nnoeq\n=0x41\n [Other]\na=b\n[Quillon]\ndup=1\n");
    EXPECT_EQ(55u, s.count);
    EXPECT_EQ(Z(u"FontGroupName=\"A b\"\0" u"0x41=1 : 0x42 ; c\0#hash\0noeq\0=0x41\0"), s.units);
}

TEST(ProfileSectionLines, EndsLinesAtCarriageReturnOrLineFeed) {
    EXPECT_EQ(Z(u"a=1\0b=2\0c=3\0d=4\0"), Read("[Quillon]\r a=1\r b = 2 \n c=3\r\n d=4").units);
}

TEST(ProfileSectionLines, TrimsOnlyAsciiBlanksAndCtrlZ) {
    EXPECT_EQ(Z(u"a=b\0"), Read("[Quillon]\n\x1a\x0b\x0c a \x1a=\x0b b\x0c\x1a\n").units);
    EXPECT_EQ(Z(u"\u3000a\u00A0=\u00A0b\u3000\0"),
              Read("\xEF\xBB\xBF[Quillon]\n\u3000a\u00A0=\u00A0b\u3000\n").units);
}

TEST(ProfileSectionLines, DropsANamelessLineRightAfterAnotherNamelessOne) {
    EXPECT_EQ(Z(u"=1\0x\0=2\0"), Read("[Quillon]\n=1\n=2\nx\n=2\n=3\n").units);
    EXPECT_EQ(Z(u"=1\0=2\0"), Read("[Quillon]\n=1\n;c\n=2\n").units);
    EXPECT_EQ(Z(u"=\0"), Read("[Quillon]\n  =  \n=\n").units);
}

TEST(ProfileSectionNames, MatchWithoutCaseAndBlanksAndOnlyTheFirstCounts) {
    EXPECT_EQ(4u, Read("[ QUILLON\t]\na=1\n[Quillon]\nb=2\n").count);
    EXPECT_EQ(4u, Read("[Quillon] trailing text\na=1\n").count);
    EXPECT_EQ(0u, Read("[Quillon]\n  [Other] trailing\nb=1\n").count);
    // The name runs to the last "]"; a "[" line without one is an ordinary line.
    EXPECT_EQ(Z(u"a=1\0[Quillon\0b=2\0"), Read("[Quillon]x]\na=1\n[Quillon\nb=2\n", 30000, u"Quillon]x").units);
    EXPECT_EQ(0u, Read("[Quillon]x]\na=1\n").count);
    // Only ASCII letters fold: a dotless i is not an I.
    EXPECT_EQ(0u, Read("\xEF\xBB\xBF[Qu\u0131llon]\na=1\n").count);
}

TEST(ProfileSectionLimits, CutsAtTheBufferLikeTheWindowsCall) {
    const std::string file = "[Quillon]\nabc=1\ndef=2\n";
    const struct {
        uint32_t size;
        uint32_t count;
        std::u16string units;
    } cases[] = {
        {14, 12, Z(u"abc=1\0def=2\0\0", 13)}, {13, 11, Z(u"abc=1\0def=2\0\0", 13)},
        {12, 10, Z(u"abc=1\0def=\0\0", 12)},  {11, 9, Z(u"abc=1\0def\0\0", 11)},
        {9, 7, Z(u"abc=1\0d\0\0", 9)},        {8, 6, Z(u"abc=1\0\0#", 8)},
        {7, 5, Z(u"abc=1\0\0", 7)},           {6, 4, Z(u"abc=\0\0", 6)},
        {3, 1, Z(u"a\0\0", 3)},               {2, 0, Z(u"\0#", 2)},
    };
    for (const auto& c : cases) {
        std::vector<char16_t> buffer(c.size + 4, u'#');
        const std::u16string text = DecodeProfileFile(reinterpret_cast<const uint8_t*>(file.data()), file.size());
        EXPECT_EQ(c.count, ReadProfileSection(text, u"Quillon", buffer.data(), c.size)) << c.size;
        EXPECT_EQ(c.units, std::u16string(buffer.data(), c.units.size())) << c.size;
        EXPECT_EQ(u'#', buffer[c.size]) << c.size;
    }
}

TEST(ProfileSectionLimits, NulUnitsEndTheStringsTheyAreIn) {
    const char raw[] = "[Quillon]\nab\0cd=0x1\n\0x=5\nv=a\0b\nq\0\n\0\nr=1\n";
    const std::string file(raw, sizeof raw - 1);
    EXPECT_EQ(Z(u"ab=0x1\0=5\0v=a\0q\0r=1\0"), Read(file).units);
}

TEST(ProfileSectionEncoding, DecodesByteOrderMarksAndTakesOtherFilesAsUtf8) {
    const std::u16string expected = Z(u"k=\u00E9\u3042\U0001F600\0");
    const std::u16string body = u"[Quillon]\nk=\u00E9\u3042\U0001F600\n";
    std::string le = "\xFF\xFE", be = "\xFE\xFF", nobom;
    for (char16_t c : body) {
        le += static_cast<char>(c & 0xFF), le += static_cast<char>(c >> 8);
        be += static_cast<char>(c >> 8), be += static_cast<char>(c & 0xFF);
        nobom += static_cast<char>(c & 0xFF), nobom += static_cast<char>(c >> 8);
    }
    EXPECT_EQ(expected, Read(le).units);
    EXPECT_EQ(expected, Read(be).units);
    EXPECT_EQ(0u, Read(nobom).count);
    EXPECT_EQ(expected, Read("\xEF\xBB\xBF" + Utf16ToUtf8(body)).units);
    EXPECT_EQ(expected, Read(Utf16ToUtf8(body)).units);
}

TEST(ProfileSectionEncoding, MalformedUtf8BecomesReplacementCharacters) {
    const Section s = Read("\xEF\xBB\xBF[Quillon]\nk=a\xFF" "b\xC3(c\xE0\x80\x80" "d\xED\xA0\x80" "e\xF4\x90\x80\x80" "f\xC3\n");
    EXPECT_EQ(20u, s.count);
    EXPECT_EQ(Z(u"k=a\uFFFDb\uFFFD(c\uFFFD\uFFFDd\uFFFD\uFFFDe\uFFFD\uFFFD\uFFFDf\uFFFD\0"), s.units);
}

TEST(ProfileSectionEncoding, CutSequenceAtTheEndIsOneReplacementCharacter) {
    EXPECT_EQ(u"a\uFFFD", Utf8ToUtf16(std::string("a\xE3\x81")));
    EXPECT_EQ(u"\U0001F600\u00E9", Utf8ToUtf16(std::string("\xF0\x9F\x98\x80\xC3\xA9")));
    EXPECT_EQ("\xEF\xBF\xBD" "a", Utf16ToUtf8(std::u16string(u"\xD800" u"a")));
}

}  // namespace
}  // namespace quillon
