#include "mappingtool/platform/posix/FileIniReader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "mappingtool/core/MappingIni.h"
#include "mappingtool/core/Utf.h"
#include "tests/mappingtool/QuillonTestSupport.h"

namespace quillon {
namespace {

using namespace quillon_test;

struct Loaded {
    uint32_t count;
    std::vector<std::u16string> lines;
};

Loaded ReadQuillon(const std::string& path) {
    CFileIniReader reader;
    std::vector<char16_t> buffer(kIniBufferUnits, u'\0');
    const uint32_t count = reader.ReadSection(u"Quillon", Utf8ToUtf16(path), buffer.data(), kIniBufferUnits);
    return Loaded{count, SplitSectionBuffer(buffer.data(), std::min(count, kIniBufferUnits))};
}

TEST(FileIniReader, ReadsTheSectionOfAFileOnDisk) {
    TempDir dir;
    WriteFile(dir / "m.ini", "[Other]\nx=1\n[Quillon]\r\nFontGroupName = \"Latin\"\r\n0x41 = 1:0x42\r\n");
    const Loaded loaded = ReadQuillon(dir / "m.ini");
    EXPECT_EQ(34u, loaded.count);
    EXPECT_EQ((std::vector<std::u16string>{u"FontGroupName=\"Latin\"", u"0x41=1:0x42"}), loaded.lines);
}

TEST(FileIniReader, MissingFileOrSectionGivesNothing) {
    TempDir dir;
    WriteFile(dir / "m.ini", "[Other]\nx=1\n");
    EXPECT_EQ(0u, ReadQuillon(dir / "m.ini").count);
    EXPECT_EQ(0u, ReadQuillon(dir / "none.ini").count);
    EXPECT_EQ(0u, ReadQuillon(dir.Path()).count);
}

TEST(FileIniReader, FileExistsIsAStatusQuery) {
    TempDir dir;
    WriteFile(dir / "m.ini", "");
    CFileIniReader reader;
    EXPECT_TRUE(reader.FileExists(Utf8ToUtf16(dir / "m.ini")));
    EXPECT_TRUE(reader.FileExists(Utf8ToUtf16(dir.Path())));
    EXPECT_FALSE(reader.FileExists(Utf8ToUtf16(dir / "none.ini")));
    EXPECT_FALSE(reader.FileExists(u""));
}

TEST(FileIniReaderHostile, LongLinesAreCutAtTheBuffer) {
    TempDir dir;
    const std::string digits(100000, '4');
    WriteFile(dir / "m.ini", "[Quillon]\nFontGroupName=\"L\"\n0x41=1:0x" + digits + "\n0x43=1:0x44\n");
    const Loaded loaded = ReadQuillon(dir / "m.ini");
    EXPECT_EQ(kIniBufferUnits - 2, loaded.count);
    ASSERT_EQ(2u, loaded.lines.size());
    EXPECT_EQ(kIniBufferUnits - 2 - 18, loaded.lines[1].size());

    MappingTable table;
    CFileIniReader reader;
    ASSERT_TRUE(LoadUnicodeMappingIni(reader, Utf8ToUtf16(dir / "m.ini"), table));
    ASSERT_EQ(1u, table.at(u"L").vecRecords.size());
    EXPECT_EQ(0xFFFFFFFFu, table.at(u"L").vecRecords[0].ulMappedTo);
}

TEST(FileIniReaderHostile, LongHeaderLosesItsClosingQuote) {
    TempDir dir;
    WriteFile(dir / "m.ini", "[Quillon]\nFontGroupName=\"" + std::string(100000, 'A') + "\"\n");
    MappingTable table;
    CFileIniReader reader;
    EXPECT_FALSE(LoadUnicodeMappingIni(reader, Utf8ToUtf16(dir / "m.ini"), table));
    EXPECT_TRUE(table.empty());
}

TEST(FileIniReaderHostile, SectionLargerThanTheBufferKeepsWhatFits) {
    TempDir dir;
    std::string file = "[Quillon]\nFontGroupName=\"L\"\n";
    char line[32];
    for (unsigned i = 0; i < 4000; ++i) {
        std::snprintf(line, sizeof line, "0x%04X=1:0x%04X\n", i, i + 0x1000);
        file += line;
    }
    WriteFile(dir / "m.ini", file);
    MappingTable table;
    CFileIniReader reader;
    ASSERT_TRUE(LoadUnicodeMappingIni(reader, Utf8ToUtf16(dir / "m.ini"), table));
    // 18 units for the header, 16 per mapping line: 1873 whole lines, then 12 units of the next one.
    const auto& records = table.at(u"L").vecRecords;
    ASSERT_EQ(1874u, records.size());
    EXPECT_EQ(0x1000u + 1872, records[1872].ulMappedTo);
    EXPECT_EQ(1873u, records[1873].ulMappedFrom);
    EXPECT_EQ(0x1u, records[1873].ulMappedTo);  // "0x1751" cut after "0x1"
}

TEST(FileIniReaderHostile, NulUnitsCutKeysAndValues) {
    TempDir dir;
    const char raw[] = "[Quillon]\nFontGroupName=\"L\"\n0x41\0junk=1:0x42\n0x43=1:0x44\0junk\n\0\n";
    WriteFile(dir / "m.ini", std::string(raw, sizeof raw - 1));
    const Loaded loaded = ReadQuillon(dir / "m.ini");
    EXPECT_EQ((std::vector<std::u16string>{u"FontGroupName=\"L\"", u"0x41=1:0x42", u"0x43=1:0x44"}), loaded.lines);
}

TEST(FileIniReaderHostile, BinaryGarbageDoesNotCrash) {
    TempDir dir;
    std::string garbage;
    uint32_t state = 12345;
    for (int i = 0; i < 200000; ++i) {
        state = state * 1103515245u + 12345u;
        garbage.push_back(static_cast<char>(state >> 24));
    }
    WriteFile(dir / "m.ini", "[Quillon]\n" + garbage);
    const Loaded loaded = ReadQuillon(dir / "m.ini");
    EXPECT_LE(loaded.count, kIniBufferUnits - 2);
}

}  // namespace
}  // namespace quillon
