#include "mappingtool/platform/posix/FilePrinterStore.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/mappingtool/QuillonTestSupport.h"

namespace quillon {
namespace {

using namespace quillon_test;

class FilePrinterStoreTest : public ::testing::Test {
protected:
    TempDir m_root;
    PrinterFolder m_printer{m_root.Path(), "KV Printer"};
    CFilePrinterStore m_store{m_root.Path()};

    PrinterHandle Open(uint32_t access) {
        PrinterHandle handle = nullptr;
        EXPECT_TRUE(m_store.Open(u"KV Printer", access, &handle));
        return handle;
    }
};

TEST_F(FilePrinterStoreTest, UnknownOrUnsafeNamesAreInvalidPrinters) {
    PrinterHandle handle = nullptr;
    for (const char16_t* name : {u"Other", u"", u"..", u".", u"../KV Printer", u"KV Printer/x"}) {
        EXPECT_FALSE(m_store.Open(name, kPrinterAllAccess, &handle));
        EXPECT_EQ(kErrorInvalidPrinterName, m_store.LastError());
    }
    WriteFile(m_root / "plain", "not a folder");
    EXPECT_FALSE(m_store.Open(u"plain", kPrinterAccessUse, &handle));
    EXPECT_EQ(kErrorInvalidPrinterName, m_store.LastError());
}

TEST_F(FilePrinterStoreTest, SizeQueryThenReadReturnsTypeAndBytes) {
    m_printer.SetValue("KVCodePageTable", Words({1, 2}), 7);
    PrinterHandle h = Open(kPrinterAccessUse);
    uint32_t needed = 0, type = 0;
    EXPECT_EQ(kErrorMoreData, m_store.GetData(h, u"KVCodePageTable", nullptr, nullptr, 0, &needed));
    EXPECT_EQ(8u, needed);
    uint8_t small[4];
    EXPECT_EQ(kErrorMoreData, m_store.GetData(h, u"KVCodePageTable", nullptr, small, sizeof small, &needed));
    Bytes data(needed);
    EXPECT_EQ(kErrorSuccess, m_store.GetData(h, u"KVCodePageTable", &type, data.data(), needed, &needed));
    EXPECT_EQ(Words({1, 2}), data);
    EXPECT_EQ(7u, type);
    EXPECT_EQ(kErrorFileNotFound, m_store.GetData(h, u"KVQuillon", nullptr, nullptr, 0, &needed));
    EXPECT_EQ(1, m_store.Close(h));
}

TEST_F(FilePrinterStoreTest, WriteReplacesTheValueWhole) {
    m_printer.SetValue("KVQuillon", Bytes(100, 0xEE));
    PrinterHandle h = Open(kPrinterAllAccess);
    const Bytes data = Words({0xCAFE});
    EXPECT_EQ(kErrorSuccess, m_store.SetData(h, u"KVQuillon", kRegBinary, data.data(), 4));
    EXPECT_EQ(Concat({Words({3}), data}), ReadFile(m_printer.Folder() + "/KVQuillon"));
    EXPECT_EQ(kErrorSuccess, m_store.SetData(h, u"KVEmpty", kRegBinary, nullptr, 0));
    EXPECT_EQ(Words({3}), ReadFile(m_printer.Folder() + "/KVEmpty"));
    EXPECT_EQ(1, m_store.Close(h));
}

TEST_F(FilePrinterStoreTest, HandleOpenedForUseCannotWrite) {
    m_printer.SetValue("KVCodePageTable", Words({0}));
    PrinterHandle h = Open(kPrinterAccessUse);
    const Bytes data = Words({1, 4, 2, 0});
    EXPECT_EQ(kErrorAccessDenied, m_store.SetData(h, u"KVCodePageTable", kRegBinary, data.data(), 16));
    EXPECT_EQ(Words({0}), m_printer.Value("KVCodePageTable"));
    EXPECT_EQ(1, m_store.Close(h));
}

TEST_F(FilePrinterStoreTest, ReadOnlyFolderRefusesAdministrationEvenToRoot) {
    m_printer.SetValue("KVCodePageTable", Words({0}));
    ASSERT_EQ(0, chmod(m_printer.Folder().c_str(), 0555));
    PrinterHandle h = nullptr;
    EXPECT_FALSE(m_store.Open(u"KV Printer", kPrinterAllAccess, &h));
    EXPECT_EQ(kErrorAccessDenied, m_store.LastError());
    h = Open(kPrinterAccessUse);
    uint32_t needed = 0;
    EXPECT_EQ(kErrorMoreData, m_store.GetData(h, u"KVCodePageTable", nullptr, nullptr, 0, &needed));
    EXPECT_EQ(1, m_store.Close(h));
}

TEST_F(FilePrinterStoreTest, ClosingTwiceFailsWithInvalidHandle) {
    PrinterHandle h = Open(kPrinterAllAccess);
    EXPECT_EQ(1, m_store.Close(h));
    EXPECT_EQ(0, m_store.Close(h));
    EXPECT_EQ(kErrorInvalidHandle, m_store.LastError());
    uint32_t needed = 0;
    EXPECT_EQ(kErrorInvalidHandle, m_store.GetData(h, u"KVQuillon", nullptr, nullptr, 0, &needed));
}

TEST_F(FilePrinterStoreTest, TruncatedValueFileIsInvalidData) {
    WriteFile(m_printer.Folder() + "/KVQuillon", "ab");
    PrinterHandle h = Open(kPrinterAccessUse);
    uint32_t needed = 0;
    EXPECT_EQ(kErrorInvalidData, m_store.GetData(h, u"KVQuillon", nullptr, nullptr, 0, &needed));
    EXPECT_EQ(1, m_store.Close(h));
}

}  // namespace
}  // namespace quillon
