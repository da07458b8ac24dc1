#include "mappingtool/core/Quillon.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include "mappingtool/core/ProfileSection.h"
#include "mappingtool/core/Utf.h"
#include "mappingtool/platform/posix/ConsoleMessageBox.h"
#include "tests/mappingtool/QuillonTestSupport.h"

// The command flow against in-memory platform doubles, for the failures a real store cannot be made to show.
namespace quillon {
namespace {

using namespace quillon_test;

class MemoryStore : public IPrinterDataStore {
public:
    std::map<std::u16string, std::map<std::u16string, Bytes>> printers;
    std::set<std::u16string> failRead, failWrite;
    uint32_t openError = 0;
    bool failClose = false;
    // As the spooler answers a size query without a buffer: always "more data", even for an empty value.
    bool sizeQueryIsMoreData = false;
    std::vector<uint32_t> opens;
    std::vector<std::u16string> writes;
    std::set<uintptr_t> live;

    bool Open(const std::u16string& printer, uint32_t access, PrinterHandle* handle) override {
        opens.push_back(access);
        if (openError != 0 || printers.count(printer) == 0) {
            m_lastError = openError != 0 ? openError : kErrorInvalidPrinterName;
            return false;
        }
        m_handles[++m_next] = printer;
        live.insert(m_next);
        *handle = reinterpret_cast<PrinterHandle>(m_next);
        return true;
    }
    uint32_t GetData(PrinterHandle h, const std::u16string& value, uint32_t* type, uint8_t* data, uint32_t size,
                     uint32_t* needed) override {
        auto& values = printers.at(m_handles.at(reinterpret_cast<uintptr_t>(h)));
        if (values.count(value) == 0) return kErrorFileNotFound;
        const Bytes& bytes = values.at(value);
        *needed = static_cast<uint32_t>(bytes.size());
        if (type != nullptr) *type = kRegBinary;
        if (sizeQueryIsMoreData && data == nullptr) return kErrorMoreData;
        if (size < bytes.size()) return kErrorMoreData;
        if (failRead.count(value) != 0) return kErrorAccessDenied;
        if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
        return kErrorSuccess;
    }
    uint32_t SetData(PrinterHandle h, const std::u16string& value, uint32_t, const uint8_t* data,
                     uint32_t size) override {
        if (failWrite.count(value) != 0) return kErrorAccessDenied;
        writes.push_back(value);
        printers.at(m_handles.at(reinterpret_cast<uintptr_t>(h)))[value] = Bytes(data, data + size);
        return kErrorSuccess;
    }
    int Close(PrinterHandle h) override {
        live.erase(reinterpret_cast<uintptr_t>(h));
        if (failClose) {
            m_lastError = kErrorInvalidHandle;
            return 0;
        }
        return 1;
    }
    uint32_t LastError() const override { return m_lastError; }

private:
    std::map<uintptr_t, std::u16string> m_handles;
    uintptr_t m_next = 0;
    uint32_t m_lastError = 0;
};

class TextIni : public IIniSectionReader {
public:
    std::string text;
    bool FileExists(const std::u16string&) override { return true; }
    uint32_t ReadSection(const std::u16string& section, const std::u16string&, char16_t* buffer,
                         uint32_t size) override {
        return ReadProfileSection(Utf8ToUtf16(text), section, buffer, size);
    }
};

struct Shown {
    std::string text;
    std::string caption;
    uint32_t style;
};

class RecordingMessageBox : public IMessageBox {
public:
    std::vector<Shown> shown;
    bool failLoad = false;
    uint32_t showError = 0;

    int LoadText(uint32_t id, char16_t* buffer, int size) override {
        return failLoad ? 0 : m_table.LoadText(id, buffer, size);
    }
    int Show(const std::u16string& text, const std::u16string& caption, uint32_t style, uint32_t* lastError) override {
        shown.push_back(Shown{Utf16ToUtf8(text), Utf16ToUtf8(caption), style});
        *lastError = showError;
        return showError != 0 ? -1 : 1;
    }

private:
    CConsoleMessageBox m_table{stderr, false};
};

class QuillonFlow : public ::testing::Test {
protected:
    QuillonFlow() {
        store.printers[u"P"][u"KVFontGroupIndex"] = FontGroupIndex({{u"Latin", 3}, {u"Kana", 7}});
        store.printers[u"P"][u"KVCodePageTable"] = CodePageTable({{1, 3, 9}});
        ini.text = "[Quillon]\nFontGroupName=\"Latin\"\n0x41=1:0x42\n";
    }
    int Run(const std::vector<std::u16string>& args) {
        CQuillon tool(store, ini, messageBox, console);
        const int code = tool.Run(args);
        EXPECT_TRUE(store.live.empty()) << "a printer handle was left open";
        return code;
    }
    std::vector<uint32_t> Styles() const {
        std::vector<uint32_t> styles;
        for (const Shown& s : messageBox.shown) styles.push_back(s.style);
        return styles;
    }

    MemoryStore store;
    TextIni ini;
    RecordingMessageBox messageBox;
    std::ostringstream console;
};

TEST_F(QuillonFlow, InstallOpensWithAllAccessAndWritesTheTablesInOrder) {
    EXPECT_EQ(0, Run({u"P", u"m.ini"}));
    EXPECT_EQ((std::vector<uint32_t>{0xF000C, 0xF000C, 0xF000C}), store.opens);
    EXPECT_EQ((std::vector<std::u16string>{u"KVCodePageTable", u"KVQuillon"}), store.writes);
    EXPECT_TRUE(messageBox.shown.empty());
    EXPECT_EQ("", console.str());
}

TEST_F(QuillonFlow, RemoveReadsWithUseAccessAndWritesWithAllAccess) {
    store.printers[u"P"][u"KVCodePageTable"] = CodePageTable({{4, 3, 0}, {1, 5, 9}});
    EXPECT_EQ(1, Run({u"P"}));
    EXPECT_EQ((std::vector<uint32_t>{0x8, 0xF000C}), store.opens);
    EXPECT_EQ(CodePageTable({{1, 5, 9}}), store.printers[u"P"][u"KVCodePageTable"]);
}

TEST_F(QuillonFlow, FailedClosesWriteConsoleLinesAndChangeNothingElse) {
    store.failClose = true;
    EXPECT_EQ(0, Run({u"P", u"m.ini"}));
    EXPECT_EQ("ClosePrinter() function error in GetFontGroupIndexInfo() : Return value 0\n"
              "ClosePrinter() function error in ModifyUxdCodePage() : Return value 0\n"
              "ClosePrinter() function error in SaveUnicodemappingTable() : Return value 0\n",
              console.str());
    EXPECT_TRUE(messageBox.shown.empty());
    EXPECT_EQ(2u, store.writes.size());
}

TEST_F(QuillonFlow, MissingStringStillShowsABoxWithEmptyText) {
    messageBox.failLoad = true;
    EXPECT_EQ(1, Run({}));
    EXPECT_EQ("LoadStringW() function error in LoadStringTable() : Return value 0\n", console.str());
    ASSERT_EQ(1u, messageBox.shown.size());
    EXPECT_EQ("", messageBox.shown[0].text);
    EXPECT_EQ("Quillon", messageBox.shown[0].caption);
}

TEST_F(QuillonFlow, FailedMessageBoxWritesAConsoleLine) {
    messageBox.showError = 1400;
    EXPECT_EQ(1, Run({u"a", u"b", u"c"}));
    EXPECT_EQ("MessageBoxW() function error in ErrorMessage() : Return value -1\n", console.str());
    ASSERT_EQ(1u, messageBox.shown.size());
    EXPECT_EQ("Specified command line is not correct.", messageBox.shown[0].text);
    EXPECT_EQ(16u, messageBox.shown[0].style);
}

TEST_F(QuillonFlow, OpenFailureOtherThanAnUnknownNameIsAnAccessProblem) {
    store.openError = kErrorAccessDenied;
    EXPECT_EQ(1, Run({u"P", u"m.ini"}));
    ASSERT_EQ(1u, messageBox.shown.size());
    EXPECT_EQ("You do not have an administrative right for the printer.", messageBox.shown[0].text);
}

TEST_F(QuillonFlow, FontGroupIndexThatCannotBeReadIsAnAccessProblem) {
    store.failRead.insert(u"KVFontGroupIndex");
    EXPECT_EQ(1, Run({u"P", u"m.ini"}));
    ASSERT_EQ(1u, messageBox.shown.size());
    EXPECT_EQ("You do not have an administrative right for the printer.", messageBox.shown[0].text);
    EXPECT_TRUE(store.writes.empty());
}

TEST_F(QuillonFlow, FontGroupIndexShorterThanItsCountIsUnusable) {
    store.printers[u"P"][u"KVFontGroupIndex"] = Bytes{1, 0, 0};
    EXPECT_EQ(1, Run({u"P", u"m.ini"}));
    ASSERT_EQ(1u, messageBox.shown.size());
    EXPECT_EQ("Cannot use with this printer.", messageBox.shown[0].text);
}

TEST_F(QuillonFlow, CodePageTableThatCannotBeReadStopsBeforeAnyWrite) {
    store.failRead.insert(u"KVCodePageTable");
    EXPECT_EQ(1, Run({u"P", u"m.ini"}));
    EXPECT_EQ((std::vector<uint32_t>{16}), Styles());
    EXPECT_TRUE(store.writes.empty());
}

TEST_F(QuillonFlow, FailedCodePageWriteLeavesTheMappingTableUnwritten) {
    store.failWrite.insert(u"KVCodePageTable");
    EXPECT_EQ(1, Run({u"P", u"m.ini"}));
    EXPECT_EQ((std::vector<uint32_t>{16}), Styles());
    EXPECT_EQ(0u, store.printers[u"P"].count(u"KVQuillon"));
}

TEST_F(QuillonFlow, FailedMappingTableWriteKeepsTheCodePageEntries) {
    store.failWrite.insert(u"KVQuillon");
    EXPECT_EQ(1, Run({u"P", u"m.ini"}));
    ASSERT_EQ(1u, messageBox.shown.size());
    EXPECT_EQ("You do not have an administrative right for the printer.", messageBox.shown[0].text);
    EXPECT_EQ(CodePageTable({{4, 3, 0}}), store.printers[u"P"][u"KVCodePageTable"]);
}

TEST_F(QuillonFlow, RemoveThatCannotReadTheTableFails) {
    store.printers[u"P"][u"KVCodePageTable"] = CodePageTable({{4, 3, 0}});
    store.failRead.insert(u"KVCodePageTable");
    EXPECT_EQ(1, Run({u"P"}));
    EXPECT_EQ((std::vector<uint32_t>{16}), Styles());
    EXPECT_TRUE(store.writes.empty());
}

TEST_F(QuillonFlow, RemoveOnAnEmptyCodePageTableExitsZeroQuietly) {
    for (const bool sizeQueryIsMoreData : {false, true}) {
        SCOPED_TRACE(sizeQueryIsMoreData ? "size query answers more data" : "size query succeeds");
        store.printers[u"P"][u"KVCodePageTable"] = Bytes();
        store.sizeQueryIsMoreData = sizeQueryIsMoreData;
        EXPECT_EQ(0, Run({u"P"}));
        EXPECT_TRUE(messageBox.shown.empty());
        EXPECT_TRUE(store.writes.empty());
        EXPECT_EQ("", console.str());
    }
}

TEST_F(QuillonFlow, FailedRemoveWriteIsReportedAndExitsWithOne) {
    store.printers[u"P"][u"KVCodePageTable"] = CodePageTable({{4, 3, 0}});
    store.failWrite.insert(u"KVCodePageTable");
    EXPECT_EQ(1, Run({u"P"}));
    ASSERT_EQ(1u, messageBox.shown.size());
    EXPECT_EQ("You do not have an administrative right for the printer.", messageBox.shown[0].text);
}

TEST_F(QuillonFlow, UnsupportedGroupsAreAWarningWhileOthersRemain) {
    ini.text = "[Quillon]\nFontGroupName=\"zeta\"\nFontGroupName=\"Latin\"\nFontGroupName=\"Alpha\"\n";
    EXPECT_EQ(0, Run({u"P", u"m.ini"}));
    ASSERT_EQ(1u, messageBox.shown.size());
    EXPECT_EQ("The font group name(Alpha,zeta) described in the file is not supported by the printer.",
              messageBox.shown[0].text);
    EXPECT_EQ(48u, messageBox.shown[0].style);
    EXPECT_EQ(CodePageTable({{4, 3, 0}}), store.printers[u"P"][u"KVCodePageTable"]);
    EXPECT_EQ(Words({0}), store.printers[u"P"][u"KVQuillon"]);
}

}  // namespace
}  // namespace quillon
