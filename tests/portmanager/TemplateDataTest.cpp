// The six templates as the library embeds them: exact bytes, lengths and line ends.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "TemplateData.h"

namespace {

struct Template {
    const char* pszName;
    const unsigned char* pData;
    int nLength;
    int nExpectedLength;
    int nLines;
    // Line-end rule: "LF" between lines and none after the last; "CRLF-between": CR LF between
    // lines, none after the last; "CRLF-after": after every line; "CRLF-after+1": and one more.
    const char* pszRule;
    int nPercentS;
    int nPercentD;
};

std::vector<Template> Templates()
{
    return {
        {"UsbJvAddConfig.xml", UsbJvAddConfig_xml, UsbJvAddConfig_xml_len, 834, 19, "LF", 1, 0},
        {"UsbJvModConfig.xml", UsbJvModConfig_xml, UsbJvModConfig_xml_len, 640, 13, "CRLF-after", 1, 0},
        {"UsbQxModConfig.xml", UsbQxModConfig_xml, UsbQxModConfig_xml_len, 905, 17, "CRLF-after", 1, 0},
        {"XMLWithDevice.xml", XMLWithDevice_xml, XMLWithDevice_xml_len, 522, 10, "CRLF-between", 11, 0},
        {"XMLWithOutDevice.xml", XMLWithOutDevice_xml, XMLWithOutDevice_xml_len, 501, 10, "CRLF-between", 7, 0},
        {"UsbPnpAddPort.xml", UsbPnpAddPort_xml, UsbPnpAddPort_xml_len, 557, 11, "CRLF-after+1", 3, 1},
    };
}

std::string Text(const Template& t) { return std::string(reinterpret_cast<const char*>(t.pData), t.nLength); }

size_t Count(const std::string& s, const std::string& what)
{
    size_t n = 0;
    for (size_t i = s.find(what); i != std::string::npos; i = s.find(what, i + what.size()))
        ++n;
    return n;
}

TEST(TemplateData, LengthsAreExact)
{
    for (const Template& t : Templates())
        EXPECT_EQ(t.nLength, t.nExpectedLength) << t.pszName;
}

TEST(TemplateData, EmbeddedBytesEqualTheTemplateFiles)
{
    for (const Template& t : Templates()) {
        std::ifstream file(std::string(TALIUN_TEMPLATE_DIR) + "/" + t.pszName, std::ios::binary);
        ASSERT_TRUE(file.good()) << t.pszName;
        const std::string strFile((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        EXPECT_EQ(Text(t), strFile) << t.pszName;
        // One spare zero byte after the text, outside the length, for use as a C string.
        EXPECT_EQ(t.pData[t.nLength], 0) << t.pszName;
    }
}

TEST(TemplateData, LineEndsFollowEachTemplatesRule)
{
    for (const Template& t : Templates()) {
        const std::string s = Text(t);
        const std::string strRule = t.pszRule;
        if (strRule == "LF") {
            EXPECT_EQ(Count(s, "\r"), 0u) << t.pszName;
            EXPECT_EQ(Count(s, "\n"), static_cast<size_t>(t.nLines - 1)) << t.pszName;
            EXPECT_NE(s.back(), '\n') << t.pszName;
            continue;
        }
        // Every CR is followed by LF and every LF preceded by CR.
        EXPECT_EQ(Count(s, "\r"), Count(s, "\r\n")) << t.pszName;
        EXPECT_EQ(Count(s, "\n"), Count(s, "\r\n")) << t.pszName;
        size_t ulExpected = static_cast<size_t>(t.nLines);
        if (strRule == "CRLF-between")
            ulExpected -= 1;
        else if (strRule == "CRLF-after+1")
            ulExpected += 1;
        EXPECT_EQ(Count(s, "\r\n"), ulExpected) << t.pszName;
        const bool bEndsWithLineEnd = s.size() >= 2 && s.compare(s.size() - 2, 2, "\r\n") == 0;
        EXPECT_EQ(bEndsWithLineEnd, strRule != "CRLF-between") << t.pszName;
        if (strRule == "CRLF-after+1") {
            EXPECT_EQ(s.compare(s.size() - 4, 4, "\r\n\r\n"), 0) << t.pszName;
        } else if (bEndsWithLineEnd) {
            EXPECT_NE(s.compare(s.size() - 4, 4, "\r\n\r\n"), 0) << t.pszName;
        }
    }
}

TEST(TemplateData, PlaceholdersAndFixedTexts)
{
    for (const Template& t : Templates()) {
        const std::string s = Text(t);
        EXPECT_EQ(Count(s, "%s"), static_cast<size_t>(t.nPercentS)) << t.pszName;
        EXPECT_EQ(Count(s, "%d"), static_cast<size_t>(t.nPercentD)) << t.pszName;
        EXPECT_EQ(Count(s, "%"), static_cast<size_t>(t.nPercentS + t.nPercentD)) << t.pszName;
    }
    const std::string add = Text(Templates()[0]);
    EXPECT_EQ(add.compare(0, 31, "<?xml version=\"1.0\"?>\n<xmlroot>"), 0);
    EXPECT_NE(add.find("\n        %s\n      </choice>\n"), std::string::npos);
    // The Japanese labels are UTF-8 text: "ポート設定".
    EXPECT_NE(add.find("label=\"\xE3\x83\x9D\xE3\x83\xBC\xE3\x83\x88\xE8\xA8\xAD\xE5\xAE\x9A\""), std::string::npos);
    const std::string pnp = Text(Templates()[5]);
    EXPECT_NE(pnp.find("  <property id=\"ModelName\" type =\"string\"  value=\"%s\"/>\r\n"), std::string::npos);
    EXPECT_NE(pnp.find("  <property id=\"DeviceID\" type =\"number\"  value=\"%d\"/>\r\n"), std::string::npos);
    EXPECT_NE(Text(Templates()[1]).find("value=\"ON - OFF/OFFLINE - OFF\""), std::string::npos);
    EXPECT_EQ(Text(Templates()[1]).find("OfflineTimeout"), std::string::npos);
    EXPECT_NE(Text(Templates()[2]).find("value=\"ON - OFFLINE - OFF\""), std::string::npos);
}

}  // namespace
