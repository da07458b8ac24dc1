#include "property/PropertyHandler.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <string>
#include <vector>

#include "contract/Data.h"
#include "markup/Markup.h"
#include "tests/support/PropertyTestFiles.h"

namespace {

const std::string kFilenameEntry =
    "<xmlroot>\r\n"
    "<type value=\"components\">\r\n"
    "<type value=\"QXUSB\">\r\n"
    "<property id=\"filename\" type=\"string\" value=\"x\"/>\r\n"
    "</type>\r\n"
    "</type>\r\n"
    "</xmlroot>\r\n";

ino_t InodeOf(const std::string& strPath)
{
	struct stat st;
	return stat(strPath.c_str(), &st) == 0 ? st.st_ino : 0;
}

std::vector<unsigned char> RandomBytes(size_t n, unsigned uSeed)
{
	std::mt19937 generator(uSeed);
	std::vector<unsigned char> bytes(n);
	for (unsigned char& c : bytes)
		c = static_cast<unsigned char>(generator());
	return bytes;
}

}  // namespace

using PropertyHandlerSet = PropertyTestDirectory;
using PropertyHandlerGet = PropertyTestDirectory;
using PropertyHandlerBinary = PropertyTestDirectory;
using PropertyHandlerDelete = PropertyTestDirectory;
using PropertyHandlerEnum = PropertyTestDirectory;
using PropertyHandlerLoad = PropertyTestDirectory;

TEST_F(PropertyHandlerSet, CreatesNestedGroupsInTheFileLayout)
{
	CPropertyHandler store(m_strConfiguration.c_str());
	EXPECT_TRUE(store.Set("/components/QXUSB/filename", "x"));
	EXPECT_EQ(ReadFile(m_strConfiguration), kFilenameEntry);

	std::string strValue;
	EXPECT_TRUE(store.Get("/components/QXUSB/filename", &strValue));
	EXPECT_EQ(strValue, "x");
}

TEST_F(PropertyHandlerSet, AddsSiblingsAfterTheLastOfTheirKind)
{
	CPropertyHandler store(m_strConfiguration.c_str());
	ASSERT_TRUE(store.Set("/a/p1", "1"));
	ASSERT_TRUE(store.Set("/a/g/q", "2"));
	ASSERT_TRUE(store.Set("/a/p2", "3"));
	ASSERT_TRUE(store.Set("/b/r", 7u));
	EXPECT_EQ(ReadFile(m_strConfiguration),
	          "<xmlroot>\r\n"
	          "<type value=\"a\">\r\n"
	          "<property id=\"p1\" type=\"string\" value=\"1\"/>\r\n"
	          "<property id=\"p2\" type=\"string\" value=\"3\"/>\r\n"
	          "<type value=\"g\">\r\n"
	          "<property id=\"q\" type=\"string\" value=\"2\"/>\r\n"
	          "</type>\r\n"
	          "</type>\r\n"
	          "<type value=\"b\">\r\n"
	          "<property id=\"r\" type=\"number\" value=\"7\"/>\r\n"
	          "</type>\r\n"
	          "</xmlroot>\r\n");
}

TEST_F(PropertyHandlerSet, UpdatesAnExistingValueInPlace)
{
	CPropertyHandler store(m_strConfiguration.c_str());
	ASSERT_TRUE(store.Set("/components/QXUSB/filename", "old"));
	ASSERT_TRUE(store.Set("/components/QXUSB/filename", "x"));
	EXPECT_EQ(ReadFile(m_strConfiguration), kFilenameEntry);
}

TEST_F(PropertyHandlerSet, SlashesAroundSegmentsMeanNothing)
{
	CPropertyHandler store(m_strConfiguration.c_str());
	ASSERT_TRUE(store.Set("/stack//QX/QXUSB/requiredName", "/PortType"));
	const std::string strWritten = ReadFile(m_strConfiguration);

	for (const char* pszPath : {"/stack/QX/QXUSB/requiredName", "stack//QX/QXUSB/requiredName",
	                            "/stack//QX/QXUSB/requiredName/", "//stack///QX//QXUSB/requiredName//"})
	{
		std::string strValue;
		EXPECT_TRUE(store.Get(pszPath, &strValue)) << pszPath;
		EXPECT_EQ(strValue, "/PortType") << pszPath;
		EXPECT_TRUE(store.Set(pszPath, "/PortType")) << pszPath;
		EXPECT_EQ(ReadFile(m_strConfiguration), strWritten) << pszPath;
	}
}

TEST_F(PropertyHandlerSet, PathsWithoutSegmentsAreRefused)
{
	CPropertyHandler store(m_strConfiguration.c_str());
	std::string strValue = "unchanged";
	for (const char* pszPath : {"", "/", "///"})
	{
		EXPECT_FALSE(store.Set(pszPath, "x")) << pszPath;
		EXPECT_FALSE(store.Get(pszPath, &strValue)) << pszPath;
		EXPECT_FALSE(store.Delete(pszPath)) << pszPath;
	}
	EXPECT_EQ(strValue, "unchanged");
	EXPECT_FALSE(FileExists(m_strConfiguration));
}

TEST_F(PropertyHandlerSet, AnotherTypeIsNeitherReplacedNorConverted)
{
	CPropertyHandler store(m_strConfiguration.c_str());
	ASSERT_TRUE(store.Set("/a/value", "12"));
	const std::string strWritten = ReadFile(m_strConfiguration);
	const ino_t inode = InodeOf(m_strConfiguration);

	EXPECT_FALSE(store.Set("/a/value", 12u));
	EXPECT_FALSE(store.Set("/a/value", CData(reinterpret_cast<const unsigned char*>("ab"), 2)));
	EXPECT_FALSE(store.Set("/a/value", "custom", "12"));
	EXPECT_EQ(ReadFile(m_strConfiguration), strWritten);
	EXPECT_EQ(InodeOf(m_strConfiguration), inode) << "a refused change must not rewrite the file";

	unsigned ulValue = 99;
	EXPECT_FALSE(store.Get("/a/value", &ulValue));
	EXPECT_EQ(ulValue, 99u);
	CData data;
	EXPECT_FALSE(store.Get("/a/value", data));
	std::string strValue;
	EXPECT_TRUE(store.Get("/a/value", &strValue));
	EXPECT_EQ(strValue, "12");
}

TEST_F(PropertyHandlerSet, EscapesMarkupCharactersInValues)
{
	CPropertyHandler store(m_strConfiguration.c_str());
	const std::string strText = "a&b<c>\"d'e &amp;";
	ASSERT_TRUE(store.Set("/g/text", strText));
	EXPECT_NE(ReadFile(m_strConfiguration)
	              .find("value=\"a&amp;b&lt;c&gt;&quot;d&apos;e &amp;amp;\""),
	          std::string::npos);
	CPropertyHandler reread(m_strConfiguration.c_str());
	std::string strValue;
	EXPECT_TRUE(reread.Get("/g/text", &strValue));
	EXPECT_EQ(strValue, strText);
}

TEST_F(PropertyHandlerSet, NumbersAreDecimalWithoutLeadingZeros)
{
	CPropertyHandler store(m_strConfiguration.c_str());
	ASSERT_TRUE(store.Set("/n/zero", 0u));
	ASSERT_TRUE(store.Set("/n/max", static_cast<unsigned>(UINT_MAX)));
	const std::string strFile = ReadFile(m_strConfiguration);
	EXPECT_NE(strFile.find("<property id=\"zero\" type=\"number\" value=\"0\"/>"), std::string::npos);
	EXPECT_NE(strFile.find("<property id=\"max\" type=\"number\" value=\"4294967295\"/>"), std::string::npos);

	unsigned ulValue = 1;
	EXPECT_TRUE(store.Get("/n/zero", &ulValue));
	EXPECT_EQ(ulValue, 0u);
	EXPECT_TRUE(store.Get("/n/max", &ulValue));
	EXPECT_EQ(ulValue, UINT_MAX);
	EXPECT_TRUE(store.Get("/n/max", static_cast<unsigned*>(nullptr)));
}

TEST_F(PropertyHandlerGet, NumbersReadTheLeadingDigits)
{
	WriteFile(m_strConfiguration,
	          "<xmlroot>\r\n"
	          "<property id=\"trailing\" type=\"number\" value=\"42abc\"/>\r\n"
	          "<property id=\"letters\" type=\"number\" value=\"abc\"/>\r\n"
	          "<property id=\"huge\" type=\"number\" value=\"99999999999\"/>\r\n"
	          "<property id=\"text\" type=\"string\" value=\"17\"/>\r\n"
	          "</xmlroot>\r\n");
	CPropertyHandler store(m_strConfiguration.c_str());
	unsigned ulValue = 0;
	EXPECT_TRUE(store.Get("/trailing", &ulValue));
	EXPECT_EQ(ulValue, 42u);
	EXPECT_TRUE(store.Get("/letters", &ulValue));
	EXPECT_EQ(ulValue, 0u);
	EXPECT_TRUE(store.Get("/huge", &ulValue));
	EXPECT_EQ(ulValue, UINT_MAX) << "more than 32 bits saturates instead of wrapping";
	ulValue = 5;
	EXPECT_FALSE(store.Get("/text", &ulValue)) << "a numeric string is not a number";
	EXPECT_EQ(ulValue, 5u);
}

TEST_F(PropertyHandlerGet, PathNamingAGroupLooksInsideIt)
{
	WriteFile(m_strConfiguration,
	          "<xmlroot>\r\n"
	          "<type value=\"g\">\r\n"
	          "<property id=\"g\" type=\"string\" value=\"inner\"/>\r\n"
	          "</type>\r\n"
	          "<property id=\"g\" type=\"string\" value=\"outer\"/>\r\n"
	          "</xmlroot>\r\n");
	CPropertyHandler store(m_strConfiguration.c_str());
	std::string strValue;
	EXPECT_TRUE(store.Get("/g", &strValue));
	EXPECT_EQ(strValue, "inner");
}

TEST_F(PropertyHandlerGet, StopsAtTheFirstMissingGroup)
{
	WriteFile(m_strConfiguration,
	          "<xmlroot>\r\n"
	          "<property id=\"nogroup\" type=\"string\" value=\"top\"/>\r\n"
	          "</xmlroot>\r\n");
	const std::string strBefore = ReadFile(m_strConfiguration);
	CPropertyHandler store(m_strConfiguration.c_str());
	// The walk stops at "nogroup" and looks for a property of that name where it stopped.
	std::string strValue;
	EXPECT_TRUE(store.Get("/nogroup/x", &strValue));
	EXPECT_EQ(strValue, "top");
	EXPECT_FALSE(store.Delete("/nogroup/x"));
	EXPECT_EQ(ReadFile(m_strConfiguration), strBefore);
}

TEST_F(PropertyHandlerBinary, RoundTripsUpToTheReadLimit)
{
	CPropertyHandler store(m_strConfiguration.c_str());
	std::vector<unsigned char> bytes = RandomBytes(4092, 1);
	ASSERT_TRUE(store.Set("/bin/full", CData(bytes.data(), 4092)));
	CPropertyHandler reread(m_strConfiguration.c_str());
	CData data;
	ASSERT_TRUE(reread.Get("/bin/full", data));
	ASSERT_EQ(data.Length(), 4092u);
	EXPECT_EQ(std::vector<unsigned char>(data.Buffer(), data.Buffer() + data.Length()), bytes);
}

TEST_F(PropertyHandlerBinary, OneByteOverTheLimitReadsEmpty)
{
	CPropertyHandler store(m_strConfiguration.c_str());
	std::vector<unsigned char> bytes = RandomBytes(4093, 2);
	ASSERT_TRUE(store.Set("/bin/over", CData(bytes.data(), 4093)));
	unsigned char ucOld = 1;
	CData data(&ucOld, 1);
	EXPECT_TRUE(store.Get("/bin/over", data));
	EXPECT_EQ(data.Length(), 0u);
	EXPECT_EQ(data.Buffer(), nullptr);
}

TEST_F(PropertyHandlerBinary, StoresBase64InLines)
{
	CPropertyHandler store(m_strConfiguration.c_str());
	std::vector<unsigned char> bytes48(48, 0);
	const unsigned char aucThree[] = {0x00, 0x01, 0x02};
	const unsigned char aucOne[] = {0xFF};
	ASSERT_TRUE(store.Set("/b/empty", CData()));
	ASSERT_TRUE(store.Set("/b/three", CData(aucThree, 3)));
	ASSERT_TRUE(store.Set("/b/one", CData(aucOne, 1)));
	ASSERT_TRUE(store.Set("/b/full", CData(bytes48.data(), 48)));
	const std::string strFile = ReadFile(m_strConfiguration);
	EXPECT_NE(strFile.find("<property id=\"empty\" type=\"binary\" value=\"\r\n\"/>"), std::string::npos);
	EXPECT_NE(strFile.find("<property id=\"three\" type=\"binary\" value=\"\r\nAAEC\"/>"), std::string::npos);
	EXPECT_NE(strFile.find("<property id=\"one\" type=\"binary\" value=\"\r\n/w==\r\n\"/>"), std::string::npos);
	EXPECT_NE(strFile.find("<property id=\"full\" type=\"binary\" value=\"\r\n" + std::string(64, 'A') + "\r\n\"/>"),
	          std::string::npos);

	CPropertyHandler reread(m_strConfiguration.c_str());
	CData data;
	EXPECT_TRUE(reread.Get("/b/empty", data));
	EXPECT_EQ(data.Length(), 0u);
	ASSERT_TRUE(reread.Get("/b/three", data));
	ASSERT_EQ(data.Length(), 3u);
	EXPECT_EQ(data.Buffer()[2], 0x02);
	ASSERT_TRUE(reread.Get("/b/one", data));
	ASSERT_EQ(data.Length(), 1u);
	EXPECT_EQ(data.Buffer()[0], 0xFF);
}

TEST_F(PropertyHandlerDelete, RemovesAGroupWithEverythingInIt)
{
	CPropertyHandler store(m_strConfiguration.c_str());
	ASSERT_TRUE(store.Set("/components/QXUSB/filename", "x"));
	ASSERT_TRUE(store.Set("/components/QXUSB/deeper/value", 3u));
	ASSERT_TRUE(store.Set("/components/OTHER/filename", "y"));
	EXPECT_TRUE(store.Delete("/components/QXUSB"));
	EXPECT_EQ(ReadFile(m_strConfiguration),
	          "<xmlroot>\r\n"
	          "<type value=\"components\">\r\n"
	          "<type value=\"OTHER\">\r\n"
	          "<property id=\"filename\" type=\"string\" value=\"y\"/>\r\n"
	          "</type>\r\n"
	          "</type>\r\n"
	          "</xmlroot>\r\n");
	CPropertyHandler reread(m_strConfiguration.c_str());
	EXPECT_FALSE(reread.Get("/components/QXUSB/filename", static_cast<std::string*>(nullptr)));
	std::vector<std::string> listNames;
	reread.Enum("/components", listNames);
	EXPECT_EQ(listNames, std::vector<std::string>{"OTHER"});
}

TEST_F(PropertyHandlerDelete, RemovesOnePropertyAndPrefersPropertiesOverGroups)
{
	WriteFile(m_strConfiguration,
	          "<xmlroot>\r\n"
	          "<type value=\"name\">\r\n"
	          "</type>\r\n"
	          "<property id=\"name\" type=\"string\" value=\"v\"/>\r\n"
	          "<property id=\"keep\" type=\"string\" value=\"k\"/>\r\n"
	          "</xmlroot>\r\n");
	CPropertyHandler store(m_strConfiguration.c_str());
	EXPECT_TRUE(store.Delete("/name"));
	EXPECT_EQ(ReadFile(m_strConfiguration),
	          "<xmlroot>\r\n"
	          "<type value=\"name\">\r\n"
	          "</type>\r\n"
	          "<property id=\"keep\" type=\"string\" value=\"k\"/>\r\n"
	          "</xmlroot>\r\n");
	// The group comes before the level's last property; it is found all the same.
	EXPECT_TRUE(store.Delete("/name"));
	EXPECT_EQ(ReadFile(m_strConfiguration),
	          "<xmlroot>\r\n"
	          "<property id=\"keep\" type=\"string\" value=\"k\"/>\r\n"
	          "</xmlroot>\r\n");
}

TEST_F(PropertyHandlerDelete, MissingNameWritesNothing)
{
	CPropertyHandler store(m_strConfiguration.c_str());
	ASSERT_TRUE(store.Set("/a/b", "x"));
	const std::string strBefore = ReadFile(m_strConfiguration);
	const ino_t inode = InodeOf(m_strConfiguration);
	EXPECT_FALSE(store.Delete("/a/c"));
	EXPECT_FALSE(store.Delete("/z/b"));
	EXPECT_FALSE(store.Delete("/a/b/c"));
	EXPECT_EQ(ReadFile(m_strConfiguration), strBefore);
	EXPECT_EQ(InodeOf(m_strConfiguration), inode);
}

TEST_F(PropertyHandlerEnum, ListsGroupsInTheOrderTheyWereAdded)
{
	CPropertyHandler store(m_strConfiguration.c_str());
	ASSERT_TRUE(store.Set("/stack//QX/QXUSB/requiredName", "/PortType"));
	ASSERT_TRUE(store.Set("/stack//JV/QXUSB/requiredName", "/PortType"));
	ASSERT_TRUE(store.Set("/stack//RP/QXUSB/requiredName", "/PortType"));
	ASSERT_TRUE(store.Set("/stack/property", "not a group"));
	std::vector<std::string> listNames{"stale"};
	EXPECT_TRUE(store.Enum("/stack", listNames));
	EXPECT_EQ(listNames, (std::vector<std::string>{"QX", "JV", "RP"}));
	EXPECT_TRUE(store.Enum("", listNames));
	EXPECT_EQ(listNames, std::vector<std::string>{"stack"});
	EXPECT_TRUE(store.Enum("/stack/QX/QXUSB", listNames));
	EXPECT_TRUE(listNames.empty());
	listNames = {"stale"};
	EXPECT_TRUE(store.Enum("/stack/XX", listNames));
	EXPECT_TRUE(listNames.empty());
}

TEST_F(PropertyHandlerLoad, MissingFileStartsEmptyAndIsCreatedBySet)
{
	StartLogDaemon();
	CPropertyHandler store(m_strConfiguration.c_str());
	EXPECT_EQ(LogTextsUpToNow(), std::vector<std::string>{"-- CPropertyHandler::CPropertyHandle(" + m_strConfiguration +
	                                                      ") <No such file or directory>"});
	EXPECT_FALSE(store.Get("/components/QXUSB/filename", static_cast<std::string*>(nullptr)));
	EXPECT_FALSE(store.Delete("/components/QXUSB"));
	std::vector<std::string> listNames;
	EXPECT_TRUE(store.Enum("", listNames));
	EXPECT_TRUE(listNames.empty());
	EXPECT_FALSE(FileExists(m_strConfiguration));
	EXPECT_TRUE(store.Set("/components/QXUSB/filename", "x"));
	EXPECT_EQ(ReadFile(m_strConfiguration), kFilenameEntry);
	EXPECT_EQ(ListDirectory(m_strDirectory), (std::vector<std::string>{"taliun.configuration", "taliunlogd.socket"}));
}

TEST_F(PropertyHandlerLoad, TextThatIsNotXmlIsKeptAsBackupWhenReplaced)
{
	const std::string strGarbage = "this is not XML, but somebody's data\n";
	WriteFile(m_strConfiguration, strGarbage);
	CMarkup reference;
	reference.Load(m_strConfiguration);
	StartLogDaemon();

	CPropertyHandler store(m_strConfiguration.c_str());
	EXPECT_EQ(LogTextsUpToNow(), std::vector<std::string>{"-- CPropertyHandler::CPropertyHandle(" + m_strConfiguration +
	                                                      ") <" + reference.GetError() + ">"});
	EXPECT_FALSE(store.Get("/anything", static_cast<std::string*>(nullptr)));
	EXPECT_EQ(ReadFile(m_strConfiguration), strGarbage) << "loading alone changes nothing";

	EXPECT_TRUE(store.Set("/components/QXUSB/filename", "x"));
	EXPECT_EQ(ReadFile(m_strConfiguration), kFilenameEntry);
	EXPECT_EQ(ReadFile(m_strConfiguration + ".bad.1"), strGarbage);
	// Only the first save replaces the damaged file; later ones keep no further copies.
	EXPECT_TRUE(store.Set("/components/QXUSB/filename", "y"));
	EXPECT_FALSE(FileExists(m_strConfiguration + ".bad.2"));
}

TEST_F(PropertyHandlerLoad, EachDamagedFileGetsItsOwnBackup)
{
	WriteFile(m_strConfiguration, "<xmlroot><type value=\"a\"></xmlroot>");
	{
		CPropertyHandler store(m_strConfiguration.c_str());
		EXPECT_TRUE(store.Set("/a/b", "1"));
	}
	WriteFile(m_strConfiguration, "<xmlroot>truncat");
	{
		CPropertyHandler store(m_strConfiguration.c_str());
		EXPECT_TRUE(store.Set("/a/b", "2"));
	}
	EXPECT_EQ(ReadFile(m_strConfiguration + ".bad.1"), "<xmlroot><type value=\"a\"></xmlroot>");
	EXPECT_EQ(ReadFile(m_strConfiguration + ".bad.2"), "<xmlroot>truncat");
	CPropertyHandler reread(m_strConfiguration.c_str());
	std::string strValue;
	EXPECT_TRUE(reread.Get("/a/b", &strValue));
	EXPECT_EQ(strValue, "2");
}

TEST_F(PropertyHandlerLoad, ForeignRootElementIsNeverWritten)
{
	const std::string strForeign = "<config>\r\n<type value=\"a\">\r\n</type>\r\n</config>\r\n";
	WriteFile(m_strConfiguration, strForeign);
	CPropertyHandler store(m_strConfiguration.c_str());
	EXPECT_FALSE(store.Get("/a/b", static_cast<std::string*>(nullptr)));
	EXPECT_FALSE(store.Set("/a/b", "x"));
	EXPECT_FALSE(store.Delete("/a"));
	EXPECT_FALSE(store.SetProperties("<xmlroot><property id=\"p\" type=\"string\" value=\"v\"/></xmlroot>"));
	EXPECT_FALSE(store.SetDocument("/a", "<xmlroot/>"));
	EXPECT_EQ(ReadFile(m_strConfiguration), strForeign);
	// Replacing the whole document is explicit; the foreign one is kept beside it.
	EXPECT_TRUE(store.SetDocument("", "<xmlroot/>"));
	EXPECT_EQ(ReadFile(m_strConfiguration), "<xmlroot/>");
	EXPECT_EQ(ReadFile(m_strConfiguration + ".bad.1"), strForeign);
}

TEST_F(PropertyHandlerLoad, DefaultStoreNeverWrites)
{
	char szCwd[PATH_MAX];
	ASSERT_NE(getcwd(szCwd, sizeof szCwd), nullptr);
	ASSERT_EQ(chdir(m_strDirectory.c_str()), 0);
	{
		CPropertyHandler store;
		EXPECT_TRUE(store.Set("/components/QXUSB/filename", "x"));
		std::string strValue;
		EXPECT_TRUE(store.Get("/components/QXUSB/filename", &strValue));
		EXPECT_EQ(strValue, "x");
		EXPECT_TRUE(store.Delete("/components/QXUSB"));
		EXPECT_TRUE(store.Save());
		std::string strDocument;
		EXPECT_TRUE(store.GetDocument("", &strDocument));
		EXPECT_EQ(strDocument, "<xmlroot>\r\n<type value=\"components\">\r\n</type>\r\n</xmlroot>\r\n");
	}
	EXPECT_TRUE(ListDirectory(m_strDirectory).empty());
	ASSERT_EQ(chdir(szCwd), 0);
}
