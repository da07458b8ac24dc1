#include "mappingtool/core/PrinterData.h"

#include <gtest/gtest.h>

#include "mappingtool/core/MappingIni.h"
#include "tests/mappingtool/QuillonTestSupport.h"

namespace quillon {
namespace {

using namespace quillon_test;

MappingTable Parse(const std::vector<std::u16string>& lines) {
    MappingTable table;
    EXPECT_TRUE(ParseMappingSection(lines, table));
    return table;
}

TEST(PrinterDataBlock, SizeMustMatchTheCountExactly) {
    const Bytes two = FontGroupIndex({{u"A", 1}, {u"B", 2}});
    EXPECT_TRUE(IsCountedBlock(two.data(), two.size(), kFontGroupEntrySize));
    EXPECT_FALSE(IsCountedBlock(two.data(), two.size() - 1, kFontGroupEntrySize));
    EXPECT_FALSE(IsCountedBlock(two.data(), 3, kFontGroupEntrySize));
    EXPECT_FALSE(IsCountedBlock(nullptr, 0, kFontGroupEntrySize));
}

TEST(PrinterDataBlock, CountsThatWrapIn32BitsAreRejected) {
    // 0x20000001 * 520 + 4 == 524 and 0x40000001 * 12 + 4 == 16 in 32-bit arithmetic.
    Bytes fontGroups = FontGroupIndex({{u"A", 1}});
    fontGroups[3] = 0x20;
    EXPECT_FALSE(IsCountedBlock(fontGroups.data(), fontGroups.size(), kFontGroupEntrySize));
    MappingTable table = Parse({u"FontGroupName=\"A\"", u"0x41=1:0x42"});
    EXPECT_EQ(u"A", MatchFontGroups(table, fontGroups.data(), fontGroups.size()));

    const Bytes codePage = Words({0x40000001, 1, 7, 0});
    std::vector<uint8_t> out;
    EXPECT_FALSE(RemoveCodePageEntries(codePage.data(), codePage.size(), out));
    MappingTable one = Parse({u"FontGroupName=\"A\""});
    one.at(u"A").ulFontGroupIndex = 9;
    EXPECT_EQ(CodePageTable({{4, 9, 0}}), AddCodePageEntries(one, codePage.data(), codePage.size()));
}

TEST(PrinterDataMatch, SetsTheIndexOfTheFirstEntryOfTheSameName) {
    MappingTable table = Parse({u"FontGroupName=\"Kana\"", u"0x41=1:0x42", u"0x43=1:0x44", u"FontGroupName=\"Latin\""});
    const Bytes data = FontGroupIndex({{u"Latin", 3}, {u"Kana", 7}, {u"Kana", 8}});
    EXPECT_EQ(u"", MatchFontGroups(table, data.data(), data.size()));
    EXPECT_EQ(7u, table.at(u"Kana").ulFontGroupIndex);
    for (const MappingRecord& r : table.at(u"Kana").vecRecords) EXPECT_EQ(7u, r.ulFontGroupIndex);
    EXPECT_EQ(3u, table.at(u"Latin").ulFontGroupIndex);
}

TEST(PrinterDataMatch, RemovesUnknownGroupsAndNamesThemInKeyOrder) {
    MappingTable table = Parse({u"FontGroupName=\"zeta\"", u"FontGroupName=\"Latin\"", u"FontGroupName=\"latin\"",
                                u"FontGroupName=\"Alpha\""});
    const Bytes data = FontGroupIndex({{u"Latin", 3}});
    EXPECT_EQ(u"Alpha,latin,zeta", MatchFontGroups(table, data.data(), data.size()));
    ASSERT_EQ(1u, table.size());
    EXPECT_EQ(1u, table.count(u"Latin"));
}

TEST(PrinterDataMatch, NameFieldWithoutTerminatorIsBoundedByTheField) {
    const std::u16string full(256, u'N');
    MappingTable table = Parse({u"FontGroupName=\"" + full + u"\"", u"FontGroupName=\"" + full + u"N\""});
    const Bytes data = FontGroupIndex({{full, 5}});
    EXPECT_EQ(full + u"N", MatchFontGroups(table, data.data(), data.size()));
    EXPECT_EQ(5u, table.at(full).ulFontGroupIndex);
}

TEST(PrinterDataMatch, DataOfAWrongSizeKnowsNoGroup) {
    MappingTable table = Parse({u"FontGroupName=\"A\""});
    Bytes data = FontGroupIndex({{u"A", 1}});
    data.push_back(0);
    EXPECT_EQ(u"A", MatchFontGroups(table, data.data(), data.size()));
    EXPECT_TRUE(table.empty());
}

MappingTable Matched(const std::vector<std::u16string>& lines, const std::vector<std::pair<std::u16string, uint32_t>>& groups) {
    MappingTable table = Parse(lines);
    const Bytes data = FontGroupIndex(groups);
    EXPECT_EQ(u"", MatchFontGroups(table, data.data(), data.size()));
    return table;
}

TEST(PrinterDataCodePageAdd, AppendsEntriesInKeyOrderIncludingGroupsWithoutLines) {
    const MappingTable table =
        Matched({u"FontGroupName=\"b\"", u"0x41=1:0x42", u"FontGroupName=\"a\""}, {{u"a", 20}, {u"b", 10}});
    EXPECT_EQ(CodePageTable({{4, 20, 0}, {4, 10, 0}}), AddCodePageEntries(table, nullptr, 0));
}

TEST(PrinterDataCodePageAdd, TakesOverEveryEntryOfTheIndexAndKeepsTheRest) {
    const MappingTable table = Matched({u"FontGroupName=\"a\"", u"FontGroupName=\"b\""}, {{u"a", 5}, {u"b", 5}});
    const Bytes current = CodePageTable({{1, 5, 77}, {2, 6, 88}, {3, 5, 99}});
    EXPECT_EQ(CodePageTable({{4, 5, 0}, {2, 6, 88}, {4, 5, 0}}),
              AddCodePageEntries(table, current.data(), current.size()));
}

TEST(PrinterDataCodePageAdd, TableOfAWrongSizeStartsEmpty) {
    const MappingTable table = Matched({u"FontGroupName=\"a\""}, {{u"a", 5}});
    Bytes current = CodePageTable({{1, 6, 77}});
    current.pop_back();
    EXPECT_EQ(CodePageTable({{4, 5, 0}}), AddCodePageEntries(table, current.data(), current.size()));
}

TEST(PrinterDataCodePageRemove, KeepsTheDriverEntriesInOrder) {
    const Bytes current = CodePageTable({{1, 5, 77}, {4, 6, 0}, {2, 7, 88}, {4, 8, 0}, {3, 9, 99}});
    std::vector<uint8_t> out;
    ASSERT_TRUE(RemoveCodePageEntries(current.data(), current.size(), out));
    EXPECT_EQ(CodePageTable({{1, 5, 77}, {2, 7, 88}, {3, 9, 99}}), out);

    const Bytes onlyOurs = CodePageTable({{4, 6, 0}});
    ASSERT_TRUE(RemoveCodePageEntries(onlyOurs.data(), onlyOurs.size(), out));
    EXPECT_EQ(Words({0}), out);
}

TEST(PrinterDataCodePageRemove, NothingToDoWithoutOwnEntriesOrWithAWrongSize) {
    std::vector<uint8_t> out;
    const Bytes driverOnly = CodePageTable({{1, 5, 77}});
    EXPECT_FALSE(RemoveCodePageEntries(driverOnly.data(), driverOnly.size(), out));
    Bytes wrong = CodePageTable({{4, 5, 0}});
    wrong.push_back(0);
    EXPECT_FALSE(RemoveCodePageEntries(wrong.data(), wrong.size(), out));
    EXPECT_FALSE(RemoveCodePageEntries(nullptr, 0, out));
}

TEST(PrinterDataRecords, WritesEveryRecordWholeInKeyOrder) {
    const MappingTable table = Matched({u"FontGroupName=\"b\"", u"0x41=2:0x42", u"FontGroupName=\"a\"", u"0x10=1:0x11"},
                                       {{u"a", 1}, {u"b", 2}});
    EXPECT_EQ(Concat({Words({2}), Record(1, 0x10, 1, 0x11), Record(2, 0x41, 2, 0x42)}),
              BuildMappingRecordTable(table));
    EXPECT_EQ(Words({0}), BuildMappingRecordTable(MappingTable()));
}

TEST(PrinterDataRecords, KeyOrderIsByUtf16CodeUnits) {
    // U+1F600 is stored as D83D DE00 and so sorts before U+FF21, unlike in code-point or UTF-8 order.
    const std::u16string emoji = u"\U0001F600";
    const MappingTable table = Matched({u"FontGroupName=\"\uFF21\"", u"0x1=1:0x1", u"FontGroupName=\"" + emoji + u"\"",
                                        u"0x2=1:0x2", u"FontGroupName=\"ab\"", u"0x3=1:0x3", u"FontGroupName=\"a\"",
                                        u"0x4=1:0x4", u"FontGroupName=\"B\"", u"0x5=1:0x5", u"FontGroupName=\"\u00E9\"",
                                        u"0x6=1:0x6"},
                                       {{u"\uFF21", 1}, {emoji, 2}, {u"ab", 3}, {u"a", 4}, {u"B", 5}, {u"\u00E9", 6}});
    EXPECT_EQ(Concat({Words({6}), Record(5, 5, 1, 5), Record(4, 4, 1, 4), Record(3, 3, 1, 3), Record(6, 6, 1, 6),
                      Record(2, 2, 1, 2), Record(1, 1, 1, 1)}),
              BuildMappingRecordTable(table));
}

TEST(PrinterDataRecords, LaterRecordOfTheSameIndexAndCodeWins) {
    const MappingTable table = Matched({u"FontGroupName=\"b\"", u"0x41=1:0xB1", u"0x50=1:0xB2",
                                        u"FontGroupName=\"a\"", u"0x41=1:0xA1", u"0x60=1:0xA2", u"0x41=1:0xA3",
                                        u"FontGroupName=\"c\"", u"0x41=1:0xC1"},
                                       {{u"a", 1}, {u"b", 1}, {u"c", 2}});
    // Key order a, b, c: a's two 0x41 lines lose to b's, which shares index 1; c has its own index.
    EXPECT_EQ(Concat({Words({4}), Record(1, 0x60, 1, 0xA2), Record(1, 0x41, 1, 0xB1), Record(1, 0x50, 1, 0xB2),
                      Record(2, 0x41, 1, 0xC1)}),
              BuildMappingRecordTable(table));
}

}  // namespace
}  // namespace quillon
