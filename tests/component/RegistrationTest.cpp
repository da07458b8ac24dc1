#include "component/Registration.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "property/PropertyHandler.h"
#include "tests/support/PropertyTestFiles.h"

namespace {

std::string Registered(const std::string& strFileName)
{
	return "<type value=\"components\">\r\n"
	       "<type value=\"QXUSB\">\r\n"
	       "<property id=\"filename\" type=\"string\" value=\"" +
	       strFileName +
	       "\"/>\r\n"
	       "</type>\r\n"
	       "</type>\r\n"
	       "<type value=\"stack\">\r\n"
	       "<type value=\"QX\">\r\n"
	       "<type value=\"QXUSB\">\r\n"
	       "<property id=\"requiredName\" type=\"string\" value=\"/PortType\"/>\r\n"
	       "<property id=\"requiredValue\" type=\"string\" value=\"USB\"/>\r\n"
	       "</type>\r\n"
	       "</type>\r\n"
	       "<type value=\"JV\">\r\n"
	       "<type value=\"QXUSB\">\r\n"
	       "<property id=\"requiredName\" type=\"string\" value=\"/PortType\"/>\r\n"
	       "<property id=\"requiredValue\" type=\"string\" value=\"USB\"/>\r\n"
	       "</type>\r\n"
	       "</type>\r\n"
	       "<type value=\"RP\">\r\n"
	       "<type value=\"QXUSB\">\r\n"
	       "<property id=\"requiredName\" type=\"string\" value=\"/PortType\"/>\r\n"
	       "<property id=\"requiredValue\" type=\"string\" value=\"USB\"/>\r\n"
	       "</type>\r\n"
	       "</type>\r\n"
	       "</type>\r\n";
}

// What stays of a registration made on an empty system once it is removed: the groups that
// held the entries.
const std::string kRemoved =
    "<xmlroot>\r\n"
    "<type value=\"components\">\r\n"
    "</type>\r\n"
    "<type value=\"stack\">\r\n"
    "<type value=\"QX\">\r\n"
    "</type>\r\n"
    "<type value=\"JV\">\r\n"
    "</type>\r\n"
    "<type value=\"RP\">\r\n"
    "</type>\r\n"
    "</type>\r\n"
    "</xmlroot>\r\n";

// A configuration file written by the host and by hand: declaration, comments, indentation,
// entries of other components, and a group "stack" the component's entries go into. New
// elements go in before the next tag after the element they follow, so every original byte
// stays, in order.
const std::string kHostFileBody =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    "<!-- host configuration: do not reorder -->\r\n"
    "<xmlroot>\r\n"
    "    <type value=\"components\">\r\n"
    "        <type value=\"SERIAL\">\r\n"
    "            <property id=\"filename\" type=\"string\" value=\"libserial.so\"/>\r\n"
    "        </type>\r\n"
    "    </type>\r\n"
    "    <!-- stacks -->\r\n"
    "    <type value=\"stack\">\r\n"
    "        <type value=\"COM\">\r\n"
    "            <type value=\"SERIAL\">\r\n"
    "                <property id=\"requiredName\" type=\"string\" value='/PortType'/>\r\n"
    "            </type>\r\n"
    "        </type>\r\n"
    "    </type>\r\n"
    "    <property id=\"version\" type=\"number\" value=\"3\"/>\r\n"
    "</xmlroot>\r\n"
    "<!-- end -->\r\n";

}  // namespace

using RegistrationInstall = PropertyTestDirectory;
using RegistrationRemove = PropertyTestDirectory;
using RegistrationHostFile = PropertyTestDirectory;

TEST_F(RegistrationInstall, CreatesTheFileOnASystemWithoutIt)
{
	EXPECT_EQ(Install("/usr/lib/libTaliunqxusb.so"), 1);
	EXPECT_EQ(ReadFile(m_strConfiguration), "<xmlroot>\r\n" + Registered("/usr/lib/libTaliunqxusb.so") + "</xmlroot>\r\n");
}

TEST_F(RegistrationInstall, NullFileNameChangesNothing)
{
	ASSERT_EQ(Install("first.so"), 1);
	const std::string strBefore = ReadFile(m_strConfiguration);
	EXPECT_EQ(Install(nullptr), 0);
	EXPECT_EQ(ReadFile(m_strConfiguration), strBefore) << "the earlier registration stays";
	EXPECT_EQ(Install(nullptr), 0);
	std::remove(m_strConfiguration.c_str());
	EXPECT_EQ(Install(nullptr), 0);
	EXPECT_FALSE(FileExists(m_strConfiguration));
}

TEST_F(RegistrationInstall, TwiceLeavesOneSetWithTheSecondName)
{
	ASSERT_EQ(Install("first.so"), 1);
	ASSERT_EQ(Install("second.so"), 1);
	EXPECT_EQ(ReadFile(m_strConfiguration), "<xmlroot>\r\n" + Registered("second.so") + "</xmlroot>\r\n");
}

TEST_F(RegistrationInstall, EnumListsTheStacksInTheOrderWritten)
{
	ASSERT_EQ(Install("lib.so"), 1);
	CPropertyHandler store(m_strConfiguration.c_str());
	std::vector<std::string> listNames;
	EXPECT_TRUE(store.Enum("/stack", listNames));
	EXPECT_EQ(listNames, (std::vector<std::string>{"QX", "JV", "RP"}));
	EXPECT_TRUE(store.Enum("/components", listNames));
	EXPECT_EQ(listNames, std::vector<std::string>{"QXUSB"});
	std::string strValue;
	EXPECT_TRUE(store.Get("/stack/RP/QXUSB/requiredValue", &strValue));
	EXPECT_EQ(strValue, "USB");
}

TEST_F(RegistrationInstall, UnwritableDirectoryFailsWithOneLogLineAndKeepsTheFile)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root to switch to an unprivileged user";
	ASSERT_EQ(Install("old.so"), 1);
	const std::string strBefore = ReadFile(m_strConfiguration);
	// Root ignores permission bits, so the installer runs as nobody in a child process, with the
	// directory readable but not writable for it (and the log socket open to it).
	g_ulErrorCount = 0;
	const int nResult = RunInChild(
	    [&] {
		    if (setgid(65534) != 0 || setuid(65534) != 0)
			    return 2;
		    return Install("new.so");
	    },
	    [&] {
		    StartLogDaemon();
		    ASSERT_EQ(chmod(m_strDirectory.c_str(), 0755), 0);
		    ASSERT_EQ(chmod(m_pDaemon->SocketPath().c_str(), 0777), 0);
	    });
	EXPECT_EQ(nResult, 0);
	EXPECT_EQ(ReadFile(m_strConfiguration), strBefore);
	EXPECT_EQ(ListDirectory(m_strDirectory), (std::vector<std::string>{"taliun.configuration", "taliunlogd.socket"}));

	// Four failed deletes and seven failed writes each log their save; the install adds one line.
	std::vector<std::string> listTexts = LogTextsUpToNow();
	size_t nFailLines = 0;
	size_t nSaveLines = 0;
	for (const std::string& strText : listTexts)
	{
		if (strText == "KorvoQXUSB Register Configuration Fail")
			++nFailLines;
		else if (strText == "-- CPropertyHandler::Save(" + m_strConfiguration + ") <Permission denied>")
			++nSaveLines;
		else
			ADD_FAILURE() << "unexpected log line: " << strText;
	}
	EXPECT_EQ(nFailLines, 1u);
	EXPECT_EQ(nSaveLines, 11u);
}

TEST_F(RegistrationRemove, AfterInstallSucceedsOnce)
{
	ASSERT_EQ(Install("lib.so"), 1);
	EXPECT_EQ(Remove(), 1);
	EXPECT_EQ(ReadFile(m_strConfiguration), kRemoved);
	EXPECT_EQ(Remove(), 0);
	EXPECT_EQ(ReadFile(m_strConfiguration), kRemoved);
}

TEST_F(RegistrationRemove, WithoutFileFailsAndCreatesNothing)
{
	EXPECT_EQ(Remove(), 0);
	EXPECT_FALSE(FileExists(m_strConfiguration));
}

TEST_F(RegistrationRemove, PartialRegistrationRemovesWhatThereIs)
{
	WriteFile(m_strConfiguration,
	          "<xmlroot>\r\n<type value=\"components\">\r\n<type value=\"QXUSB\"/>\r\n</type>\r\n</xmlroot>\r\n");
	EXPECT_EQ(Remove(), 0);
	EXPECT_EQ(ReadFile(m_strConfiguration), "<xmlroot>\r\n<type value=\"components\">\r\n</type>\r\n</xmlroot>\r\n");
}

TEST_F(RegistrationHostFile, KeepsEveryByteOutsideTheComponentsEntries)
{
	const std::string strOriginal = "\xEF\xBB\xBF" + kHostFileBody;
	WriteFile(m_strConfiguration, strOriginal);
	ASSERT_EQ(Install("libTaliunqxusb.so"), 1);
	const std::string strInstalled = ReadFile(m_strConfiguration);
	EXPECT_EQ(strInstalled,
	          "\xEF\xBB\xBF"
	          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
	          "<!-- host configuration: do not reorder -->\r\n"
	          "<xmlroot>\r\n"
	          "    <type value=\"components\">\r\n"
	          "        <type value=\"SERIAL\">\r\n"
	          "            <property id=\"filename\" type=\"string\" value=\"libserial.so\"/>\r\n"
	          "        </type>\r\n"
	          "    <type value=\"QXUSB\">\r\n"
	          "<property id=\"filename\" type=\"string\" value=\"libTaliunqxusb.so\"/>\r\n"
	          "</type>\r\n"
	          "</type>\r\n"
	          "    <!-- stacks -->\r\n"
	          "    <type value=\"stack\">\r\n"
	          "        <type value=\"COM\">\r\n"
	          "            <type value=\"SERIAL\">\r\n"
	          "                <property id=\"requiredName\" type=\"string\" value='/PortType'/>\r\n"
	          "            </type>\r\n"
	          "        </type>\r\n"
	          "    <type value=\"QX\">\r\n"
	          "<type value=\"QXUSB\">\r\n"
	          "<property id=\"requiredName\" type=\"string\" value=\"/PortType\"/>\r\n"
	          "<property id=\"requiredValue\" type=\"string\" value=\"USB\"/>\r\n"
	          "</type>\r\n"
	          "</type>\r\n"
	          "<type value=\"JV\">\r\n"
	          "<type value=\"QXUSB\">\r\n"
	          "<property id=\"requiredName\" type=\"string\" value=\"/PortType\"/>\r\n"
	          "<property id=\"requiredValue\" type=\"string\" value=\"USB\"/>\r\n"
	          "</type>\r\n"
	          "</type>\r\n"
	          "<type value=\"RP\">\r\n"
	          "<type value=\"QXUSB\">\r\n"
	          "<property id=\"requiredName\" type=\"string\" value=\"/PortType\"/>\r\n"
	          "<property id=\"requiredValue\" type=\"string\" value=\"USB\"/>\r\n"
	          "</type>\r\n"
	          "</type>\r\n"
	          "</type>\r\n"
	          "    <property id=\"version\" type=\"number\" value=\"3\"/>\r\n"
	          "</xmlroot>\r\n"
	          "<!-- end -->\r\n");

	ASSERT_EQ(Remove(), 1);
	EXPECT_EQ(ReadFile(m_strConfiguration),
	          "\xEF\xBB\xBF"
	          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
	          "<!-- host configuration: do not reorder -->\r\n"
	          "<xmlroot>\r\n"
	          "    <type value=\"components\">\r\n"
	          "        <type value=\"SERIAL\">\r\n"
	          "            <property id=\"filename\" type=\"string\" value=\"libserial.so\"/>\r\n"
	          "        </type>\r\n"
	          "    </type>\r\n"
	          "    <!-- stacks -->\r\n"
	          "    <type value=\"stack\">\r\n"
	          "        <type value=\"COM\">\r\n"
	          "            <type value=\"SERIAL\">\r\n"
	          "                <property id=\"requiredName\" type=\"string\" value='/PortType'/>\r\n"
	          "            </type>\r\n"
	          "        </type>\r\n"
	          "    <type value=\"QX\">\r\n"
	          "</type>\r\n"
	          "<type value=\"JV\">\r\n"
	          "</type>\r\n"
	          "<type value=\"RP\">\r\n"
	          "</type>\r\n"
	          "</type>\r\n"
	          "    <property id=\"version\" type=\"number\" value=\"3\"/>\r\n"
	          "</xmlroot>\r\n"
	          "<!-- end -->\r\n");
}

TEST_F(RegistrationHostFile, Utf16FileStaysUtf16WithItsMark)
{
	auto toUtf16LE = [](const std::string& strAscii) {
		std::string strWide = "\xFF\xFE";
		for (char c : strAscii)
		{
			strWide += c;
			strWide += '\0';
		}
		return strWide;
	};
	WriteFile(m_strConfiguration, toUtf16LE(kHostFileBody));
	ASSERT_EQ(Install("lib.so"), 1);
	ASSERT_EQ(Remove(), 1);
	const std::string strAfter = ReadFile(m_strConfiguration);
	ASSERT_EQ(strAfter.compare(0, 2, "\xFF\xFE"), 0);
	// Only the three emptied stack groups are new; they go in right before the end tag of
	// "stack", after its indentation.
	std::string strExpected = kHostFileBody;
	const std::string strAnchor = "        </type>\r\n    </type>\r\n    <property id=\"version\"";
	size_t nAt = strExpected.find(strAnchor);
	ASSERT_NE(nAt, std::string::npos);
	strExpected.insert(nAt + 21,
	                   "<type value=\"QX\">\r\n</type>\r\n<type value=\"JV\">\r\n</type>\r\n<type value=\"RP\">\r\n</type>\r\n");
	EXPECT_EQ(strAfter, toUtf16LE(strExpected));
}
