#include "property/PropertyHandler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "markup/Markup.h"
#include "tests/support/PropertyTestFiles.h"

namespace {

const std::string kConfiguration =
    "<xmlroot>\r\n"
    "<type value=\"components\">\r\n"
    "<type value=\"QXUSB\">\r\n"
    "<property id=\"filename\" type=\"string\" value=\"lib.so\"/>\r\n"
    "<property id=\"timeout\" type=\"number\" value=\"5\"/>\r\n"
    "<type value=\"inner\">\r\n"
    "<property id=\"deep\" type=\"string\" value=\"d\"/>\r\n"
    "</type>\r\n"
    "</type>\r\n"
    "<type value=\"EMPTY\"/>\r\n"
    "</type>\r\n"
    "</xmlroot>\r\n";

}  // namespace

class PropertyHandlerDocuments : public PropertyTestDirectory
{
protected:
	void SetUp() override
	{
		PropertyTestDirectory::SetUp();
		WriteFile(m_strConfiguration, kConfiguration);
	}
};

using PropertyHandlerMerge = PropertyTestDirectory;

TEST_F(PropertyHandlerDocuments, GetDocumentOfTheRootIsTheWholeText)
{
	CPropertyHandler store(m_strConfiguration.c_str());
	std::string strOut;
	EXPECT_TRUE(store.GetDocument("", &strOut));
	EXPECT_EQ(strOut, kConfiguration);
	EXPECT_TRUE(store.GetDocument("//", &strOut));
	EXPECT_EQ(strOut, kConfiguration);
}

TEST_F(PropertyHandlerDocuments, GetDocumentWrapsTheGroupContent)
{
	CPropertyHandler store(m_strConfiguration.c_str());
	std::string strOut;
	EXPECT_TRUE(store.GetDocument("/components/QXUSB/inner", &strOut));
	EXPECT_EQ(strOut, "<xmlroot>\r\n<property id=\"deep\" type=\"string\" value=\"d\"/>\r\n</xmlroot>");
	EXPECT_TRUE(store.GetDocument("/components/EMPTY", &strOut));
	EXPECT_EQ(strOut, "<xmlroot></xmlroot>");
	strOut = "unchanged";
	EXPECT_FALSE(store.GetDocument("/components/MISSING", &strOut));
	EXPECT_FALSE(store.GetDocument("/missing/QXUSB", &strOut));
	EXPECT_EQ(strOut, "unchanged");
}

TEST_F(PropertyHandlerDocuments, GetPropertiesTakesOnlyTheLevelsProperties)
{
	CPropertyHandler store(m_strConfiguration.c_str());
	std::string strOut;
	EXPECT_TRUE(store.GetProperties("/components/QXUSB", &strOut));
	EXPECT_EQ(strOut,
	          "<xmlroot>"
	          "<property id=\"filename\" type=\"string\" value=\"lib.so\"/>\r\n"
	          "<property id=\"timeout\" type=\"number\" value=\"5\"/>\r\n"
	          "</xmlroot>");
	strOut = "stale";
	EXPECT_TRUE(store.GetProperties("/components", &strOut));
	EXPECT_EQ(strOut, "") << "a group without properties gives no fragment";
	strOut = "stale";
	EXPECT_TRUE(store.GetProperties("/components/EMPTY", &strOut));
	EXPECT_EQ(strOut, "");
}

TEST_F(PropertyHandlerDocuments, SetPropertiesAppliesAtTheConfigurationPath)
{
	CPropertyHandler store(m_strConfiguration.c_str());
	EXPECT_TRUE(store.SetProperties("<xmlroot>\r\n"
	                                "<property id=\"timeout\" type=\"number\" value=\"9\"/>\r\n"
	                                "<property id=\"ConfigurationPath\" type=\"string\" value=\"/components/QXUSB\"/>\r\n"
	                                "<property id=\"filename\" type=\"binary\" value=\"\r\nAAEC\"/>\r\n"
	                                "<property id=\"added\" type=\"string\" value=\"new\"/>\r\n"
	                                "</xmlroot>\r\n"));
	// The same-typed "timeout" is replaced where it stood; the "filename" of another type is
	// passed over and the new one follows the last property; ConfigurationPath is not stored.
	EXPECT_EQ(ReadFile(m_strConfiguration),
	          "<xmlroot>\r\n"
	          "<type value=\"components\">\r\n"
	          "<type value=\"QXUSB\">\r\n"
	          "<property id=\"filename\" type=\"string\" value=\"lib.so\"/>\r\n"
	          "<property id=\"timeout\" type=\"number\" value=\"9\"/>\r\n"
	          "<property id=\"filename\" type=\"binary\" value=\"\r\nAAEC\"/>\r\n"
	          "<property id=\"added\" type=\"string\" value=\"new\"/>\r\n"
	          "<type value=\"inner\">\r\n"
	          "<property id=\"deep\" type=\"string\" value=\"d\"/>\r\n"
	          "</type>\r\n"
	          "</type>\r\n"
	          "<type value=\"EMPTY\"/>\r\n"
	          "</type>\r\n"
	          "</xmlroot>\r\n");

	std::string strOut;
	EXPECT_TRUE(store.GetProperties("/components/QXUSB", &strOut));
	std::string strValue;
	EXPECT_TRUE(CPropertyHandler::GetAttributeFromConfigXML(strOut, "added", &strValue));
	EXPECT_EQ(strValue, "new");
	EXPECT_FALSE(CPropertyHandler::GetAttributeFromConfigXML(strOut, "ConfigurationPath", &strValue));
}

TEST_F(PropertyHandlerDocuments, SetPropertiesWithoutPathAppliesAtTheRoot)
{
	CPropertyHandler store(m_strConfiguration.c_str());
	EXPECT_TRUE(store.SetProperties("<xmlroot><property id=\"top\" type=\"string\" value=\"t\"/></xmlroot>"));
	std::string strValue;
	EXPECT_TRUE(store.Get("/top", &strValue));
	EXPECT_EQ(strValue, "t");
	CPropertyHandler reread(m_strConfiguration.c_str());
	EXPECT_TRUE(reread.Get("/top", &strValue));
}

TEST_F(PropertyHandlerDocuments, MalformedFragmentsChangeNothing)
{
	CPropertyHandler store(m_strConfiguration.c_str());
	EXPECT_FALSE(store.SetProperties("<xmlroot><property id=\"a\" type=\"string\" value=\"x\"/>"));
	EXPECT_FALSE(store.SetProperties(""));
	EXPECT_FALSE(store.SetDocument("", "<xmlroot><unclosed></xmlroot>"));
	EXPECT_FALSE(store.SetDocument("", "<other/>"));
	EXPECT_EQ(ReadFile(m_strConfiguration), kConfiguration);
	std::string strOut;
	EXPECT_TRUE(store.GetDocument("", &strOut));
	EXPECT_EQ(strOut, kConfiguration);
}

TEST_F(PropertyHandlerDocuments, SetDocumentReplacesOrCreatesAGroup)
{
	CPropertyHandler store(m_strConfiguration.c_str());
	EXPECT_TRUE(store.SetDocument("/components/QXUSB/inner",
	                              "<xmlroot><property id=\"p\" type=\"string\" value=\"v\"/></xmlroot>"));
	EXPECT_TRUE(store.SetDocument("/new/group", "<xmlroot><property id=\"q\" type=\"number\" value=\"1\"/></xmlroot>"));
	EXPECT_TRUE(store.SetDocument("/components/EMPTY", "<xmlroot><type value=\"sub\"/></xmlroot>"));
	EXPECT_EQ(ReadFile(m_strConfiguration),
	          "<xmlroot>\r\n"
	          "<type value=\"components\">\r\n"
	          "<type value=\"QXUSB\">\r\n"
	          "<property id=\"filename\" type=\"string\" value=\"lib.so\"/>\r\n"
	          "<property id=\"timeout\" type=\"number\" value=\"5\"/>\r\n"
	          "<type value=\"inner\"><property id=\"p\" type=\"string\" value=\"v\"/></type>\r\n"
	          "</type>\r\n"
	          "<type value=\"EMPTY\"><type value=\"sub\"/></type>\r\n"
	          "</type>\r\n"
	          "<type value=\"new\">\r\n"
	          "<type value=\"group\"><property id=\"q\" type=\"number\" value=\"1\"/></type>\r\n"
	          "</type>\r\n"
	          "</xmlroot>\r\n");
	std::vector<std::string> listNames;
	store.Enum("/components/EMPTY", listNames);
	EXPECT_EQ(listNames, std::vector<std::string>{"sub"});
	unsigned ulValue = 0;
	EXPECT_TRUE(store.Get("/new/group/q", &ulValue));
	EXPECT_EQ(ulValue, 1u);
}

TEST_F(PropertyHandlerDocuments, SetDocumentOfTheRootReplacesEverything)
{
	CPropertyHandler store(m_strConfiguration.c_str());
	const std::string strNew = "<xmlroot>\r\n<property id=\"only\" type=\"string\" value=\"o\"/>\r\n</xmlroot>\r\n";
	EXPECT_TRUE(store.SetDocument("", strNew));
	EXPECT_EQ(ReadFile(m_strConfiguration), strNew);
	std::string strValue;
	EXPECT_TRUE(store.Get("/only", &strValue));
	EXPECT_EQ(strValue, "o");
	EXPECT_TRUE(store.Set("/g/p", "x"));
	EXPECT_TRUE(store.Get("/g/p", &strValue));
}

TEST(PropertyHandlerConfigXML, GetsAndDeletesTopLevelProperties)
{
	const std::string strDocument =
	    "<xmlroot>\r\n"
	    "<type value=\"g\"><property id=\"nested\" type=\"string\" value=\"n\"/></type>\r\n"
	    "<property id=\"PortType\" type=\"string\" value=\"USB &amp; more\"/>\r\n"
	    "<property id=\"PortName\" type=\"string\" value=\"P1\"/>\r\n"
	    "</xmlroot>";
	std::string strValue;
	EXPECT_TRUE(CPropertyHandler::GetAttributeFromConfigXML(strDocument, "PortType", &strValue));
	EXPECT_EQ(strValue, "USB & more");
	EXPECT_FALSE(CPropertyHandler::GetAttributeFromConfigXML(strDocument, "nested", &strValue));
	EXPECT_FALSE(CPropertyHandler::GetAttributeFromConfigXML("<xmlroot><property id=\"PortType\" value=\"x\">",
	                                                         "PortType", &strValue));

	std::string strEdited = strDocument;
	EXPECT_TRUE(CPropertyHandler::DeletePropertyFromConfigXML(&strEdited, "PortType"));
	EXPECT_EQ(strEdited,
	          "<xmlroot>\r\n"
	          "<type value=\"g\"><property id=\"nested\" type=\"string\" value=\"n\"/></type>\r\n"
	          "<property id=\"PortName\" type=\"string\" value=\"P1\"/>\r\n"
	          "</xmlroot>");
	EXPECT_FALSE(CPropertyHandler::DeletePropertyFromConfigXML(&strEdited, "PortType"));
	EXPECT_FALSE(CPropertyHandler::DeletePropertyFromConfigXML(&strEdited, "nested"));
	EXPECT_FALSE(CPropertyHandler::DeletePropertyFromConfigXML(nullptr, "PortName"));
}

TEST_F(PropertyHandlerMerge, EmptyDestinationTakesTheSource)
{
	std::string strDestination;
	const std::string strSource = "<xmlroot><ui language=\"en\"/>\r\n</xmlroot> trailing";
	EXPECT_TRUE(CPropertyHandler::Merge(strDestination, strSource));
	EXPECT_EQ(strDestination, strSource);
}

TEST_F(PropertyHandlerMerge, UiOfAnotherLanguageIsAppended)
{
	std::string strDestination =
	    "<xmlroot>\r\n"
	    "<ui language=\"ja\"><label id=\"t\">ja</label></ui>\r\n"
	    "<property id=\"p\" type=\"string\" value=\"v\"/>\r\n"
	    "</xmlroot>\r\n";
	const std::string strSource = "<xmlroot>\r\n<ui language=\"en\"><label id=\"t\">en</label></ui>\r\n</xmlroot>\r\n";
	EXPECT_TRUE(CPropertyHandler::Merge(strDestination, strSource));
	EXPECT_EQ(strDestination,
	          "<xmlroot>\r\n"
	          "<ui language=\"ja\"><label id=\"t\">ja</label></ui>\r\n"
	          "<ui language=\"en\"><label id=\"t\">en</label></ui>\r\n"
	          "<property id=\"p\" type=\"string\" value=\"v\"/>\r\n"
	          "</xmlroot>\r\n");
}

TEST_F(PropertyHandlerMerge, SameElementsGainMissingAttributesAndChildren)
{
	StartLogDaemon();
	std::string strDestination =
	    "<xmlroot>\r\n"
	    "<property id=\"speed\" type=\"number\" value=\"1\">\r\n"
	    "<choice id=\"c\">\r\n"
	    "<option value=\"a\" label=\"A\"/>\r\n"
	    "</choice>\r\n"
	    "</property>\r\n"
	    "</xmlroot>\r\n";
	const std::string strSource =
	    "<xmlroot>\r\n"
	    "<property id=\"speed\" type=\"string\" value=\"2\" unit=\"ms\">\r\n"
	    "<choice id=\"c\">\r\n"
	    "<option value=\"a\" label=\"other\" hint=\"h\"/>\r\n"
	    "<option value=\"b\" label=\"B\"/>\r\n"
	    "</choice>\r\n"
	    "</property>\r\n"
	    "<unknown id=\"skipped\"/>\r\n"
	    "</xmlroot>\r\n";
	EXPECT_TRUE(CPropertyHandler::Merge(strDestination, strSource));
	EXPECT_EQ(strDestination,
	          "<xmlroot>\r\n"
	          "<property id=\"speed\" type=\"number\" value=\"1\" unit=\"ms\">\r\n"
	          "<choice id=\"c\">\r\n"
	          "<option value=\"a\" label=\"A\" hint=\"h\"/>\r\n"
	          "<option value=\"b\" label=\"B\"/>\r\n"
	          "</choice>\r\n"
	          "</property>\r\n"
	          "</xmlroot>\r\n");
	EXPECT_EQ(LogTextsUpToNow(), (std::vector<std::string>{
	                                 "-- CPropertyHandler::Match property(type = string and number)",
	                                 "-- CPropertyHandler::Match property(value = 2 and 1)",
	                                 "-- CPropertyHandler::Match option(label = other and A)",
	                             }));
}

TEST_F(PropertyHandlerMerge, MatchLogsEachConflictingAttributeOnce)
{
	StartLogDaemon();
	CMarkup destination("<xmlroot><range id=\"r\" min=\"0\" max=\"10\"/><range id=\"s\" min=\"5\"/></xmlroot>");
	CMarkup source("<xmlroot><range id=\"s\" min=\"1\" max=\"9\" step=\"2\"/></xmlroot>");
	destination.FindElem("xmlroot");
	destination.IntoElem();
	source.FindElem("xmlroot");
	source.IntoElem();
	ASSERT_TRUE(source.FindElem("range"));

	EXPECT_TRUE(CPropertyHandler::Match("range", "id", &destination, &source));
	EXPECT_EQ(destination.GetAttrib("id"), "s") << "the match is the destination's main element";
	EXPECT_EQ(destination.GetAttrib("min"), "5");
	EXPECT_EQ(destination.GetAttrib("max"), "9");
	EXPECT_EQ(destination.GetAttrib("step"), "2");
	EXPECT_EQ(LogTextsUpToNow(), std::vector<std::string>{"-- CPropertyHandler::Match range(min = 1 and 5)"});

	// Matching again adds nothing and logs the remaining conflict once more.
	EXPECT_TRUE(CPropertyHandler::Match("range", "id", &destination, &source));
	EXPECT_EQ(LogTextsUpToNow(), (std::vector<std::string>{"-- CPropertyHandler::Match range(min = 1 and 5)",
	                                                       "-- CPropertyHandler::Match range(min = 1 and 5)"}));

	CMarkup other("<xmlroot><range id=\"zzz\"/></xmlroot>");
	other.FindElem("xmlroot");
	other.IntoElem();
	other.FindElem("range");
	EXPECT_FALSE(CPropertyHandler::Match("range", "id", &destination, &other));
	EXPECT_EQ(destination.GetDoc(),
	          "<xmlroot><range id=\"r\" min=\"0\" max=\"10\"/><range id=\"s\" min=\"5\" max=\"9\" step=\"2\"/></xmlroot>");
}
