#include "mappingtool/core/MappingIni.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillon {
namespace {

using Lines = std::vector<std::u16string>;

std::vector<uint32_t> Froms(const MappingTable& table, const std::u16string& group) {
    std::vector<uint32_t> out;
    for (const MappingRecord& r : table.at(group).vecRecords) out.push_back(r.ulMappedFrom);
    return out;
}

TEST(MappingIniParse, ReadsGroupsWithTheirRecordsInIniOrder) {
    MappingTable table;
    ASSERT_TRUE(ParseMappingSection({u"FontGroupName=\"Latin\"", u"0x41=1:0x42", u"0x10=22:0xFF",
                                     u"FontGroupName=\"Kana\"", u"0x3042=3:0xA0"},
                                    table));
    ASSERT_EQ(2u, table.size());
    const MappingRecord& r = table.at(u"Latin").vecRecords.at(1);
    EXPECT_EQ(24u, r.ulSize);
    EXPECT_EQ(0u, r.ulReserved);
    EXPECT_EQ(0x10u, r.ulMappedFrom);
    EXPECT_EQ(22u, r.ulCount);
    EXPECT_EQ(0xFFu, r.ulMappedTo);
    EXPECT_EQ((std::vector<uint32_t>{0x41, 0x10}), Froms(table, u"Latin"));
    EXPECT_EQ((std::vector<uint32_t>{0x3042}), Froms(table, u"Kana"));
}

TEST(MappingIniParse, FailsWithoutLinesOrWithAMappingLineFirst) {
    MappingTable table;
    EXPECT_FALSE(ParseMappingSection({}, table));
    EXPECT_FALSE(ParseMappingSection({u"0x41=1:0x42", u"FontGroupName=\"Latin\""}, table));
    EXPECT_FALSE(ParseMappingSection({u" FontGroupName=\"Latin\""}, table));
    EXPECT_TRUE(table.empty());
}

TEST(MappingIniParse, HeaderNeedsAValueQuotedAtBothEnds) {
    for (const char16_t* header : {u"FontGroupName=", u"FontGroupName", u"FontGroupName=\"Latin",
                                   u"FontGroupName=Latin\"", u"FontGroupName=\"", u"FontGroupName=Latin"}) {
        MappingTable table;
        EXPECT_FALSE(ParseMappingSection({header, u"0x41=1:0x42"}, table)) << std::string(header, header + 13);
    }
    MappingTable table;
    ASSERT_TRUE(ParseMappingSection({u"FontGroupName=\"\"", u"FontGroupName=\"a\"b\""}, table));
    EXPECT_EQ(1u, table.count(u""));
    EXPECT_EQ(1u, table.count(u"a\"b"));
}

TEST(MappingIniParse, MappingLineNeedsLowerCaseHexPrefixOnBothSides) {
    for (const char16_t* line : {u"0X41=1:0x42", u"0x41=1:0X42", u"41=1:0x42", u"0x41=1:42", u"0x41=1: 0x42"}) {
        MappingTable table;
        EXPECT_FALSE(ParseMappingSection({u"FontGroupName=\"Latin\"", line}, table));
    }
}

TEST(MappingIniParse, MappingLineNeedsEqualsAndColonWithTextBeforeThem) {
    for (const char16_t* line : {u"0x41", u"0x41=1", u"=1:0x42", u"0x41=:0x42", u"#comment"}) {
        MappingTable table;
        EXPECT_FALSE(ParseMappingSection({u"FontGroupName=\"Latin\"", line}, table));
    }
}

TEST(MappingIniParse, MappedToStartsAfterTheFirstColonOfTheWholeLine) {
    MappingTable table;
    // A colon left of "=" belongs to the mapped-from text but still marks where the mapped-to text begins.
    EXPECT_FALSE(ParseMappingSection({u"FontGroupName=\"L\"", u"0x4:1=2:0x42"}, table));
    MappingTable second;
    ASSERT_TRUE(ParseMappingSection({u"FontGroupName=\"L\"", u"0x41=1:0x42:0x43"}, second));
    EXPECT_EQ(0x42u, second.at(u"L").vecRecords.at(0).ulMappedTo);
}

TEST(MappingIniParse, NumbersFollowTheConversionRules) {
    MappingTable table;
    ASSERT_TRUE(ParseMappingSection({u"FontGroupName=\"L\"", u"0x1FFFFFFFF=99999999999:0xFFFFFFFF",
                                     u"0xzz= \t 7 apples:0x42 ; comment", u"0x00000000041=abc:0xg",
                                     u"0x1f=-3:0xAbC"},
                                    table));
    const auto& records = table.at(u"L").vecRecords;
    EXPECT_EQ(0xFFFFFFFFu, records[0].ulMappedFrom);  // saturates instead of wrapping
    EXPECT_EQ(0xFFFFFFFFu, records[0].ulCount);
    EXPECT_EQ(0xFFFFFFFFu, records[0].ulMappedTo);
    EXPECT_EQ(0u, records[1].ulMappedFrom);
    EXPECT_EQ(7u, records[1].ulCount);
    EXPECT_EQ(0x42u, records[1].ulMappedTo);
    EXPECT_EQ(0x41u, records[2].ulMappedFrom);
    EXPECT_EQ(0u, records[2].ulCount);
    EXPECT_EQ(0u, records[2].ulMappedTo);
    EXPECT_EQ(0x1Fu, records[3].ulMappedFrom);
    EXPECT_EQ(0u, records[3].ulCount);
    EXPECT_EQ(0xABCu, records[3].ulMappedTo);
}

TEST(MappingIniParse, LaterGroupOfTheSameNameReplacesTheEarlierOne) {
    MappingTable table;
    ASSERT_TRUE(ParseMappingSection({u"FontGroupName=\"L\"", u"0x41=1:0x42", u"0x43=1:0x44", u"FontGroupName=\"K\"",
                                     u"FontGroupName=\"L\"", u"0x50=1:0x51"},
                                    table));
    EXPECT_EQ((std::vector<uint32_t>{0x50}), Froms(table, u"L"));
    EXPECT_TRUE(table.at(u"K").vecRecords.empty());
}

TEST(MappingIniParse, HeaderTextInsideALineFailsAndKeepsTheGroupsStoredSoFar) {
    MappingTable table;
    EXPECT_FALSE(ParseMappingSection({u"FontGroupName=\"L\"", u"0x41=1:0x42", u"0x43=1:0x44 FontGroupName"}, table));
    ASSERT_EQ(1u, table.count(u"L"));
    EXPECT_EQ((std::vector<uint32_t>{0x41}), Froms(table, u"L"));
}

TEST(MappingIniSplit, SplitsAtEveryZeroAndKeepsACutLastLine) {
    const char16_t buffer[] = u"a=1\0\0b\0cut";  // an empty string in the middle is a line too
    EXPECT_EQ((Lines{u"a=1", u"", u"b", u"cut"}), SplitSectionBuffer(buffer, 10));
    EXPECT_EQ((Lines{u"a=1", u""}), SplitSectionBuffer(buffer, 5));
    EXPECT_TRUE(SplitSectionBuffer(buffer, 0).empty());
}

class FixedReader : public IIniSectionReader {
public:
    FixedReader(std::u16string content, uint32_t count) : m_content(std::move(content)), m_count(count) {}
    bool FileExists(const std::u16string&) override { return true; }
    uint32_t ReadSection(const std::u16string& section, const std::u16string&, char16_t* buffer,
                         uint32_t size) override {
        m_section = section;
        m_size = size;
        std::copy(m_content.begin(), m_content.begin() + std::min<size_t>(m_content.size(), size), buffer);
        return m_count;
    }
    std::u16string m_section;
    uint32_t m_size = 0;

private:
    std::u16string m_content;
    uint32_t m_count;
};

TEST(MappingIniLoad, ReadsTheQuillonSectionWithA30000UnitBuffer) {
    const std::u16string content(u"FontGroupName=\"L\"\0" u"0x41=1:0x4", 28);
    FixedReader reader(content, 28);  // cut in the middle of the last number, as the call does
    MappingTable table;
    ASSERT_TRUE(LoadUnicodeMappingIni(reader, u"x.ini", table));
    EXPECT_EQ(u"Quillon", reader.m_section);
    EXPECT_EQ(30000u, reader.m_size);
    EXPECT_EQ(0x4u, table.at(u"L").vecRecords.at(0).ulMappedTo);
}

TEST(MappingIniLoad, ACountBeyondTheBufferIsNotTrusted) {
    FixedReader reader(std::u16string(u"FontGroupName=\"L\"\0", 18), 0xFFFFFFFF);
    MappingTable table;
    // The rest of the buffer is zeros: empty lines, which are no mapping lines; the group is never stored.
    EXPECT_FALSE(LoadUnicodeMappingIni(reader, u"x.ini", table));
    EXPECT_TRUE(table.empty());
}

}  // namespace
}  // namespace quillon
