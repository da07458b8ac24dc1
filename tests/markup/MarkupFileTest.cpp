#include "markup/Markup.h"
#include "tests/markup/MarkupTestUtil.h"
#include "tests/support/Files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

namespace
{

using testsupport::ReadFile;

class MarkupFile : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const char* szTmp = getenv("TMPDIR");
        std::string strTemplate = std::string(szTmp && *szTmp ? szTmp : "/tmp") + "/markupXXXXXX";
        ASSERT_NE(nullptr, mkdtemp(&strTemplate[0]));
        m_strDir = strTemplate;
    }
    void TearDown() override
    {
        for (const std::string& strPath : m_vFiles)
            unlink(strPath.c_str());
        rmdir(m_strDir.c_str());
    }
    std::string Path(const char* szName)
    {
        const std::string strPath = m_strDir + "/" + szName;
        m_vFiles.push_back(strPath);
        return strPath;
    }
    std::string WriteFile(const char* szName, const std::string& strBytes)
    {
        const std::string strPath = Path(szName);
        std::ofstream out(strPath, std::ios::binary);
        out << strBytes;
        return strPath;
    }
    static std::string ToUTF16(const std::string& strUTF8, bool bBigEndian)
    {
        const int nUnits = CMarkup::UTF8To16(nullptr, strUTF8.data(), static_cast<int>(strUTF8.size()));
        std::vector<unsigned short> vUnits(static_cast<size_t>(nUnits));
        CMarkup::UTF8To16(vUnits.data(), strUTF8.data(), static_cast<int>(strUTF8.size()));
        std::string strBytes;
        for (unsigned short u : vUnits)
        {
            const char lo = static_cast<char>(u & 0xFF), hi = static_cast<char>(u >> 8);
            strBytes += bBigEndian ? hi : lo;
            strBytes += bBigEndian ? lo : hi;
        }
        return strBytes;
    }

    std::string m_strDir;
    std::vector<std::string> m_vFiles;
};

const std::string kUTF8Doc = "<r a='1'>caf\xC3\xA9 \xE2\x82\xAC</r>\r\n";

}  // namespace

TEST_F(MarkupFile, UntouchedDocumentsSaveTheSameBytes)
{
    const std::string aDocs[] = {
        "<xmlroot>\r\n<type value=\"components\">\r\n<property id=\"f\" type=\"string\" value=\"x\"/>\r\n</type>\r\n"
        "</xmlroot>\r\n",
        "<?xml version=\"1.0\"?>\n<!-- c -->\n\t<r  a = 'x'\tb=\"y\" ><![CDATA[<>]]>&amp;&#65;</r>\n\n",
        "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<r>\xC3\xA9</r>",
        "\xFF\xFE" + ToUTF16(kUTF8Doc, false),
        "\xFE\xFF" + ToUTF16(kUTF8Doc, true),
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n<r v=\"caf\xE9\">\xE9t\xE9</r>\r\n",
        "<r>broken</x>",
        "",
    };
    int n = 0;
    for (const std::string& strBytes : aDocs)
    {
        const std::string strName = "doc" + std::to_string(n++);
        const std::string strIn = WriteFile(strName.c_str(), strBytes);
        const std::string strOut = Path((strName + ".out").c_str());
        CMarkup xml;
        xml.Load(strIn);
        EXPECT_TRUE(IndexConsistent(xml));
        ASSERT_TRUE(xml.Save(strOut)) << xml.GetError();
        EXPECT_EQ(strBytes, ReadFile(strOut)) << strName;
    }
}

TEST_F(MarkupFile, Utf8ByteOrderMarkIsDroppedOnLoadAndWrittenOnSave)
{
    const std::string strBody = "<r>x</r>\r\n";
    const std::string strPath = WriteFile("bom.xml", "\xEF\xBB\xBF" + strBody);
    CMarkup xml;
    ASSERT_TRUE(xml.Load(strPath));
    EXPECT_EQ(strBody, xml.GetDoc());
    EXPECT_EQ("BOM + UTF-8 length 10", xml.GetError());
    EXPECT_TRUE(xml.GetDocFlags() & CMarkup::MDF_UTF8PREAMBLE);
    ASSERT_TRUE(xml.FindElem("r"));
    ASSERT_TRUE(xml.SetData("y"));
    const std::string strOut = Path("bom.out");
    ASSERT_TRUE(xml.Save(strOut));
    EXPECT_EQ("\xEF\xBB\xBF<r>y</r>\r\n", ReadFile(strOut));
    EXPECT_EQ("BOM + UTF-8 length 10", xml.GetError());
}

TEST_F(MarkupFile, Utf16LittleEndianIsHeldAsUtf8AndWrittenBack)
{
    const std::string strPath = WriteFile("le.xml", "\xFF\xFE" + ToUTF16(kUTF8Doc, false));
    CMarkup xml;
    ASSERT_TRUE(xml.Load(strPath)) << xml.GetError();
    EXPECT_EQ(kUTF8Doc, xml.GetDoc());
    EXPECT_EQ("BOM + UTF-16LE length 21 to UTF-8 length 24", xml.GetError());
    ASSERT_TRUE(xml.FindElem("r"));
    ASSERT_TRUE(xml.SetAttrib("b", "\xC3\xBC"));
    const std::string strOut = Path("le.out");
    ASSERT_TRUE(xml.Save(strOut));
    EXPECT_EQ("\xFF\xFE" + ToUTF16(xml.GetDoc(), false), ReadFile(strOut));
    EXPECT_EQ("BOM + UTF-8 length 31 to UTF-16LE length 27", xml.GetError());
}

TEST_F(MarkupFile, Utf16BigEndianIsSwappedBothWays)
{
    const std::string strPath = WriteFile("be.xml", "\xFE\xFF" + ToUTF16(kUTF8Doc, true));
    CMarkup xml;
    ASSERT_TRUE(xml.Load(strPath)) << xml.GetError();
    EXPECT_EQ(kUTF8Doc, xml.GetDoc());
    EXPECT_EQ("BOM + UTF-16BE length 21 endian swap to UTF-8 length 24", xml.GetError());
    EXPECT_TRUE(xml.GetDocFlags() & CMarkup::MDF_UTF16BEFILE);
    const std::string strOut = Path("be.out");
    ASSERT_TRUE(xml.Save(strOut));
    EXPECT_EQ("\xFE\xFF" + ToUTF16(kUTF8Doc, true), ReadFile(strOut));
    EXPECT_EQ("BOM + UTF-8 length 24 to endian swap UTF-16BE length 21", xml.GetError());
}

TEST_F(MarkupFile, DeclaredLatin1IsHeldAsUtf8AndWrittenBackAsLatin1)
{
    const std::string strDecl = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n";
    const std::string strPath = WriteFile("latin1.xml", strDecl + "<r v=\"caf\xE9\">\xE9t\xE9</r>\r\n");
    CMarkup xml;
    ASSERT_TRUE(xml.Load(strPath)) << xml.GetError();
    EXPECT_EQ(strDecl + "<r v=\"caf\xC3\xA9\">\xC3\xA9t\xC3\xA9</r>\r\n", xml.GetDoc());
    EXPECT_EQ("ISO-8859-1 length 66 to UTF-8 length 69", xml.GetError());
    ASSERT_TRUE(xml.FindElem("r"));
    EXPECT_EQ("caf\xC3\xA9", xml.GetAttrib("v"));
    ASSERT_TRUE(xml.SetAttrib("w", "\xC3\xBC\xE2\x82\xAC"));
    const std::string strOut = Path("latin1.out");
    ASSERT_TRUE(xml.Save(strOut));
    // The euro sign has no Latin-1 form: it becomes "?" and the loss is reported.
    EXPECT_EQ(strDecl + "<r v=\"caf\xE9\" w=\"\xFC?\">\xE9t\xE9</r>\r\n", ReadFile(strOut));
    EXPECT_EQ("UTF-8 length 79 to (chars lost in conversion!) ISO-8859-1 length 73", xml.GetError());
}

TEST_F(MarkupFile, NulBytesAreRemovedAndReported)
{
    const std::string strPath = WriteFile("nul.xml", std::string("<r>a\0b</r>", 10));
    CMarkup xml;
    ASSERT_TRUE(xml.Load(strPath));
    EXPECT_EQ("<r>ab</r>", xml.GetDoc());
    EXPECT_EQ("UTF-8 length 10 removed 1 nulls", xml.GetError());
}

TEST_F(MarkupFile, MissingFileGivesTheSystemMessage)
{
    CMarkup xml("<old/>");
    EXPECT_FALSE(xml.Load(m_strDir + "/does-not-exist.xml"));
    EXPECT_EQ(strerror(ENOENT), xml.GetError());
    EXPECT_EQ("<file_error msg=\"" + std::string(strerror(ENOENT)) + "\" n=\"" + std::to_string(ENOENT) + "\"/>",
              xml.GetResult());
    EXPECT_EQ("", xml.GetDoc());
    EXPECT_FALSE(xml.IsWellFormed());
}

TEST_F(MarkupFile, UnreadableFileGivesTheSystemMessage)
{
    CMarkup xml;
    EXPECT_FALSE(xml.Load(m_strDir));
    EXPECT_EQ(strerror(EISDIR), xml.GetError());
    EXPECT_EQ("", xml.GetDoc());
}

TEST_F(MarkupFile, ByteOrderMarkAndParseErrorInOneMessage)
{
    const std::string strPath = WriteFile("bomerr.xml", "\xEF\xBB\xBF<r>\r\n</x>\r\n</r>\r\n");
    CMarkup xml;
    EXPECT_FALSE(xml.Load(strPath));
    EXPECT_EQ("BOM + UTF-8 length 17 lone end tag 'x' at offset 5", xml.GetError());
}

TEST_F(MarkupFile, UndeclaredTextIsCheckedForUtf8)
{
    const std::string strValid = " <r>\xC3\xA9</r>";
    CMarkup xml;
    ASSERT_TRUE(xml.Load(WriteFile("valid.xml", strValid)));
    EXPECT_EQ(strValid, xml.GetDoc());
    EXPECT_EQ("length 10 (used UTF-8 detection)", xml.GetError());

    // Not UTF-8: converted from the platform's default encoding, never left invalid.
    ASSERT_TRUE(xml.Load(WriteFile("latin.xml", " <r>caf\xE9!</r>")));
    EXPECT_TRUE(CMarkup::DetectUTF8(xml.GetDoc().data(), static_cast<int>(xml.GetDoc().size())));
    EXPECT_NE(std::string::npos, xml.GetError().find("(used UTF-8 detection)"));
    ASSERT_TRUE(xml.FindElem("r"));

    EXPECT_FALSE(xml.Load(WriteFile("empty.xml", "")));
    EXPECT_EQ("length 0 (used UTF-8 detection)", xml.GetError());
}

TEST_F(MarkupFile, UnknownDeclaredEncodingKeepsTheBytes)
{
    const std::string strBytes = "<?xml version=\"1.0\" encoding=\"x-no-such-charset\"?><r>\xE9</r>";
    CMarkup xml;
    ASSERT_TRUE(xml.Load(WriteFile("unknown.xml", strBytes)));
    EXPECT_EQ(strBytes, xml.GetDoc());
    const std::string strOut = Path("unknown.out");
    ASSERT_TRUE(xml.Save(strOut));
    EXPECT_EQ(strBytes, ReadFile(strOut));
}

TEST_F(MarkupFile, SaveFailuresAreReported)
{
    CMarkup xml("<r/>");
    EXPECT_FALSE(xml.Save(m_strDir));
    EXPECT_EQ(strerror(EISDIR), xml.GetError());
    // The full device accepts the open and fails when the buffered bytes are written out.
    if (access("/dev/full", W_OK) == 0)
    {
        EXPECT_FALSE(xml.Save("/dev/full"));
        EXPECT_EQ(strerror(ENOSPC), xml.GetError());
    }
}

TEST(MarkupDeclaredEncoding, FromDeclarationOrHtmlMeta)
{
    EXPECT_EQ("Shift_JIS", CMarkup::GetDeclaredEncoding("<?xml version=\"1.0\" encoding='Shift_JIS'?><r/>"));
    EXPECT_EQ("x", CMarkup::GetDeclaredEncoding("<?XML ENCODING=\"x\"?>"));
    EXPECT_EQ("", CMarkup::GetDeclaredEncoding("<?xml version=\"1.0\"?><r/>"));
    EXPECT_EQ("", CMarkup::GetDeclaredEncoding(" <?xml encoding=\"x\"?>"));
    EXPECT_EQ("", CMarkup::GetDeclaredEncoding("<?xml-stylesheet encoding=\"x\"?>"));
    EXPECT_EQ("ISO-8859-1",
              CMarkup::GetDeclaredEncoding("<!DOCTYPE html><HTML><head><title>t</title><META HTTP-EQUIV=\"Content-Type\" "
                                           "content=\"text/html; charset=ISO-8859-1\"></head></html>"));
    EXPECT_EQ("", CMarkup::GetDeclaredEncoding("<html><head></head><meta http-equiv=\"Content-Type\" "
                                               "content=\"text/html; charset=x\"/></html>"));
    EXPECT_EQ("", CMarkup::GetDeclaredEncoding("<r><meta http-equiv=\"Content-Type\" content=\"charset=x\"/></r>"));
    EXPECT_EQ("", CMarkup::GetDeclaredEncoding(static_cast<const char*>(nullptr)));
}
