// The host's MakePort and the small reader of port documents behind it.

#include "host/PortDocument.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <list>
#include <string>

#include "host/PropertyTree.h"

namespace {

// The port document a component builds for a new device, filled as it fills it.
std::string PortDocument(const char* pszPortName, const char* pszModel, int nDeviceID)
{
    char sz[1024];
    std::snprintf(sz, sizeof sz,
                  "<xmlroot>\r\n"
                  "  <property id=\"PortType\" type=\"string\" value=\"USB\"/>\r\n"
                  "  <property id=\"PortName\" type=\"string\" value=\"%s\"/>\r\n"
                  "  <property id=\"ModelName\" type =\"string\"  value=\"%s\"/>\r\n"
                  "  <property id=\"DeviceID\" type =\"number\"  value=\"%d\"/>\r\n"
                  "  <property id=\"Id.ModelName\" type=\"string\" value=\"%s\"/>\r\n"
                  "  <property id=\"OfflineTimeout\" type=\"number\" value=\"50\"/>\r\n"
                  "  <property id=\"StatusPto\" type=\"number\" value=\"100\"/>\r\n"
                  "  <property id=\"PowerValues\" type=\"string\" value=\"ON - OFFLINE - OFF\"/>\r\n"
                  "  <property id=\"ConfigurationPath\" type=\"string\" value=\"QX\"/>\r\n"
                  "</xmlroot>\r\n"
                  "\r\n",
                  pszPortName, pszModel, nDeviceID, pszModel);
    return sz;
}

TEST(MakePort, PortDocumentBecomesANewChildOfQX)
{
    CPropertyTree tree;
    tree.SetString("/QX/USB1/PortType", "USB");
    std::string strName;
    ASSERT_TRUE(tree.MakePort("QX", PortDocument("USB#VID_0xFFFF##PID_0x1#SN1", "QX-K40V", 3), &strName));
    EXPECT_EQ(strName, "USB2") << "the first free name";

    std::list<std::string> list;
    tree.GetChildren("/QX/", list);
    EXPECT_EQ(list, (std::list<std::string>{"USB1", "USB2"}));
    std::list<std::string> properties;
    tree.GetChildren("/QX/USB2", properties);
    EXPECT_EQ(properties, (std::list<std::string>{"PortType", "PortName", "ModelName", "DeviceID", "Id.ModelName",
                                                  "OfflineTimeout", "StatusPto", "PowerValues", "ConfigurationPath"}));

    std::string str;
    unsigned int ul = 0;
    EXPECT_TRUE(tree.GetString("/QX/USB2//PortType", &str));
    EXPECT_EQ(str, "USB");
    EXPECT_TRUE(tree.GetString("/QX/USB2//PortName", &str));
    EXPECT_EQ(str, "USB#VID_0xFFFF##PID_0x1#SN1");
    EXPECT_TRUE(tree.GetString("/QX/USB2//ModelName", &str));
    EXPECT_EQ(str, "QX-K40V");
    EXPECT_TRUE(tree.GetString("/QX/USB2//Id.ModelName", &str));
    EXPECT_EQ(str, "QX-K40V");
    EXPECT_TRUE(tree.GetNumber("/QX/USB2//DeviceID", &ul));
    EXPECT_EQ(ul, 3u);
    EXPECT_TRUE(tree.GetNumber("/QX/USB2//OfflineTimeout", &ul));
    EXPECT_EQ(ul, 50u);
    EXPECT_TRUE(tree.GetNumber("/QX/USB2//StatusPto", &ul));
    EXPECT_EQ(ul, 100u);
    EXPECT_TRUE(tree.GetString("/QX/USB2//PowerValues", &str));
    EXPECT_EQ(str, "ON - OFFLINE - OFF");
    EXPECT_TRUE(tree.GetString("/QX/USB2//ConfigurationPath", &str));
    EXPECT_EQ(str, "QX");
}

TEST(MakePort, EmptyDocumentSucceedsWithoutChange)
{
    CPropertyTree tree;
    EXPECT_TRUE(tree.MakePort("QX", ""));
    EXPECT_FALSE(tree.Exists("/QX"));
}

TEST(MakePort, RefusesBadDocumentsAndOtherPortTypes)
{
    CPropertyTree tree;
    const std::string strGood = PortDocument("N", "M", 1);
    EXPECT_FALSE(tree.MakePort("JV", strGood));
    EXPECT_FALSE(tree.MakePort("qx", strGood));
    const char* apszBad[] = {
        "<xmlroot>",
        "<xmlroot><property id=\"PortType\" value=\"USB\"/>",
        "<xmlroot><property id=\"PortType\" value=\"USB\"/></root>",
        "not xml at all",
        "<xmlroot/><second/>",
        "<xmlroot><property id=PortType value=\"USB\"/></xmlroot>",
        "<xmlroot><property id=\"PortType\" value=\"A &nbsp; B\"/></xmlroot>",
        "<xmlroot><property id=\"PortType\" value=\"a<b\"/></xmlroot>",
        "<xmlroot><property id=\"PortType\" id=\"X\" value=\"USB\"/></xmlroot>",
        "<xmlroot><property id=\"PortType\"value=\"USB\"/></xmlroot>",
        "<xmlroot><property type=\"string\" value=\"USB\"/></xmlroot>",
        "<xmlroot><property id=\"a/b\" value=\"x\"/><property id=\"PortType\" value=\"USB\"/></xmlroot>",
        "<xmlroot><property id=\"PortType\" value=\"USB\"/><property id=\"DeviceID\" type=\"number\" "
        "value=\"twelve\"/></xmlroot>",
        "<xmlroot><!-- unterminated comment <property id=\"PortType\" value=\"USB\"/></xmlroot>",
    };
    for (const char* pszBad : apszBad) {
        SCOPED_TRACE(pszBad);
        EXPECT_FALSE(tree.MakePort("QX", pszBad));
    }
    EXPECT_FALSE(tree.MakePort("QX", "<xmlroot><property id=\"PortName\" value=\"N\"/></xmlroot>"))
        << "no PortType";
    EXPECT_FALSE(tree.Exists("/QX")) << "a refused document leaves nothing behind";
}

TEST(MakePort, DeeplyNestedDocumentIsRefusedWithoutExhaustingTheStack)
{
    std::string strDeep;
    for (int i = 0; i < 100000; ++i)
        strDeep += "<a>";
    CPropertyTree tree;
    EXPECT_FALSE(tree.MakePort("QX", strDeep));
}

TEST(PortDocument, ReadsDeclarationCommentsEntitiesAndBothQuotes)
{
    CPortDocument document;
    std::string strError;
    ASSERT_TRUE(document.Parse("\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<!-- made by hand -->\n"
                               "<xmlroot>text &amp; more\n"
                               "  <group><property id='ModelName' type = 'string' value='A&amp;B &lt;&#x41;&#66;&gt; "
                               "&quot;&apos;&#12354;'></property></group>\n"
                               "  <property id=\"PortType\" value=\"USB\"/>\n"
                               "</xmlroot>\n<!-- trailing -->\n",
                               &strError))
        << strError;
    ASSERT_EQ(document.Properties().size(), 2u);
    const CPortDocument::PROPERTY* pModel = document.Find("ModelName");
    ASSERT_NE(pModel, nullptr);
    EXPECT_EQ(pModel->strType, "string");
    EXPECT_EQ(pModel->strValue, "A&B <AB> \"'\xE3\x81\x82");
    EXPECT_EQ(document.Properties()[1].strId, "PortType");
    EXPECT_EQ(document.Find("Missing"), nullptr);
}

TEST(PortDocument, ErrorsSayWhere)
{
    CPortDocument document;
    std::string strError;
    EXPECT_FALSE(document.Parse("<xmlroot><a></b></xmlroot>", &strError));
    EXPECT_NE(strError.find("mismatched end tag"), std::string::npos) << strError;
    EXPECT_NE(strError.find("offset"), std::string::npos) << strError;
}

} // namespace
