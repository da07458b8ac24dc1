// The configuration codes through the exported table, as a host sends them: component-level
// codes on a handle without a connection, 8-bit and UCS-2 texts, the documents they return.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/support/PortE2EFixture.h"

using namespace porttest;

namespace {

// The host packs and unpacks its strings itself: 8-bit text with a zero byte, or UCS-2 units
// (native order) with a zero unit.
CData Pack(const std::string& strText, bool bWide)
{
    std::vector<unsigned char> vec;
    for (unsigned char c : strText) {
        vec.push_back(c);
        if (bWide)
            vec.push_back(0);  // the requests here are ASCII
    }
    vec.insert(vec.end(), bWide ? 2 : 1, 0);
    return ToData(vec);
}

std::string Unpack8(const CData& data)
{
    const std::vector<unsigned char> vec = BytesOf(data);
    const auto itZero = std::find(vec.begin(), vec.end(), 0);
    return std::string(vec.begin(), itZero);
}

// UCS-2 units up to the zero unit, as UTF-8.
std::string UnpackWide(const CData& data)
{
    std::string s;
    const std::vector<unsigned char> vec = BytesOf(data);
    for (size_t i = 0; i + 1 < vec.size(); i += 2) {
        const unsigned int u = vec[i] | (vec[i + 1] << 8);
        if (u == 0)
            break;
        if (u < 0x80) {
            s += static_cast<char>(u);
        } else if (u < 0x800) {
            s += static_cast<char>(0xC0 | (u >> 6));
            s += static_cast<char>(0x80 | (u & 0x3F));
        } else {
            s += static_cast<char>(0xE0 | (u >> 12));
            s += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (u & 0x3F));
        }
    }
    return s;
}

std::string ReadTemplate(const char* pszName)
{
    std::ifstream file(std::string(TALIUN_TEMPLATE_DIR) + "/" + pszName, std::ios::binary);
    EXPECT_TRUE(file.good()) << pszName;
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

std::string Replace(std::string s, const std::string& strFrom, const std::string& strTo)
{
    const size_t i = s.find(strFrom);
    EXPECT_NE(i, std::string::npos) << strFrom;
    if (i != std::string::npos)
        s.replace(i, strFrom.size(), strTo);
    return s;
}

const char kStatusRange[] =
    "  <range id=\"StatusPto\" type=\"number\" default=\"100\" min=\"1\" max=\"65536\">\r\n"
    "    <ui language=\"en\" label=\"StatusPto\" tooltip=\"Power Monitoring Interval.\"/>\r\n"
    "    <ui language=\"ja\" label=\"\xE3\x82\xB9\xE3\x83\x86\xE3\x83\xBC\xE3\x82\xBF\xE3\x82\xB9Pto\" "
    "tooltip=\"\xE9\x9B\xBB\xE6\xBA\x90\xE7\x9B\xA3\xE8\xA6\x96\xE9\x96\x93\xE9\x9A\x94\"/>\r\n"
    "  </range>\r\n"
    "</option>";

class ConfigCodesEndToEnd : public PortE2EFixture {
protected:
    void SetUp() override
    {
        PortE2EFixture::SetUp();
        ConfigurePort("Printer1", "USB#VID_0XFFFF##PID_0X202P1");
        m_host.Properties().SetString("/QX/Printer1/ModelName", "QX-K40V");
        ConfigurePort("Printer2", "USB#VID_0XFFFF##PID_0X202P2");
        Load();
        m_hConfig = m_host.NewHandle();
    }
    unsigned int Code(unsigned int ulCode, const std::string& strText, unsigned int ulTextFlags, CData* pOut = nullptr)
    {
        return m_host.Ioctl(m_hConfig, ulCode, Pack(strText, (ulTextFlags & PH_UCS2_STRINGS) != 0), pOut);
    }

    void* m_hConfig = nullptr;
};

TEST_F(ConfigCodesEndToEnd, WorkedExampleDisplayAddDocument)
{
    CData out;
    ASSERT_EQ(Code(PH_CONFIG_GET_COMPONENT_UI, "JV", 0, &out), PHR_SUCCESS);
    const std::string strOption1 =
        "<option value=\"/JV/Printer1/\">\r\n"
        "  <ui language=\"en\" label=\"Printer1 (QX-K40V)\" tooltip=\"Printer1 connected to QX-K40V\"/>\r\n"
        "  <ui language=\"ja\" label=\"Printer1 (QX-K40V)\" tooltip=\"Printer1 connected to QX-K40V\"/>\r\n"
        "  <property id=\"PortName\" type=\"string\" value=\"USB#VID_0XFFFF##PID_0X202P1\"/>\r\n"
        "  <property id=\"PortModel\" type=\"string\" value=\"QX-K40V\"/>\r\n" +
        std::string(kStatusRange);
    const std::string strOption2 =
        "<option value=\"/JV/Printer2/\">\r\n"
        "  <ui language=\"en\" label=\"Printer2\" tooltip=\"USB Port Printer2\"/>\r\n"
        "  <ui language=\"ja\" label=\"Printer2\" tooltip=\"USB\xE3\x83\x9D\xE3\x83\xBC\xE3\x83\x88Printer2\"/>\r\n"
        "  <property id=\"PortName\" type=\"string\" value=\"USB#VID_0XFFFF##PID_0X202P2\"/>\r\n"
        "  <property id=\"PortModel\" type=\"string\" value=\"\"/>\r\n" +
        std::string(kStatusRange);
    const std::string strExpected = Replace(ReadTemplate("UsbJvAddConfig.xml"), "%s", strOption1 + strOption2);
    EXPECT_EQ(Unpack8(out), strExpected);
}

TEST_F(ConfigCodesEndToEnd, ChangeDocumentsForBothParts)
{
    CData out;
    ASSERT_EQ(Code(PH_CONFIG_GET_COMPONENT_UI, "QX/Printer1", 0, &out), PHR_SUCCESS);
    EXPECT_EQ(Unpack8(out), Replace(ReadTemplate("UsbQxModConfig.xml"), "%s", "QX/Printer1"));
    ASSERT_EQ(Code(PH_CONFIG_GET_COMPONENT_UI, "JV/Printer1", 0, &out), PHR_SUCCESS);
    EXPECT_EQ(Unpack8(out), Replace(ReadTemplate("UsbJvModConfig.xml"), "%s", "JV/Printer1"));
}

TEST_F(ConfigCodesEndToEnd, Ucs2FlagReadsAnEightBitRequestAndAnswersInUcs2)
{
    CData narrow;
    ASSERT_EQ(Code(PH_CONFIG_GET_COMPONENT_UI, "JV", 0, &narrow), PHR_SUCCESS);
    CData wide;
    ASSERT_EQ(Code(PH_CONFIG_GET_COMPONENT_UI | PH_UCS2_STRINGS, "JV", 0, &wide), PHR_SUCCESS);
    const std::string strNarrow = Unpack8(narrow);
    // One 16-bit unit per character and a zero unit: '<' '?' ... and the katakana of the labels.
    ASSERT_GE(wide.Length(), 4u);
    const unsigned short* pUnits = reinterpret_cast<const unsigned short*>(wide.Buffer());
    const size_t ulUnits = wide.Length() / 2;
    EXPECT_EQ(pUnits[0], u'<');
    EXPECT_EQ(pUnits[1], u'?');
    EXPECT_EQ(pUnits[ulUnits - 1], 0);
    const std::u16string strUnits(reinterpret_cast<const char16_t*>(pUnits), ulUnits);
    EXPECT_NE(strUnits.find(u"\u30DD\u30FC\u30C8\u8A2D\u5B9A"), std::u16string::npos);
    EXPECT_EQ(UnpackWide(wide), strNarrow);
    // The in-data of the UI code is 8-bit text whatever the flag: a UCS-2 "JV" reads as "J".
    EXPECT_EQ(Code(PH_CONFIG_GET_COMPONENT_UI | PH_UCS2_STRINGS, "JV", PH_UCS2_STRINGS, &wide), PHR_NOT_SUPPORTED);
}

TEST_F(ConfigCodesEndToEnd, AddAndDeleteDecideWhichPortsOpen)
{
    ConfigurePort("Printer3", "USB#VID_0XFFFF##PID_0X202P3");
    void* h = m_host.NewHandle();
    EXPECT_EQ(Code(PH_CONFIG_ADD_PORT | PH_UCS2_STRINGS, "QX/Printer3", PH_UCS2_STRINGS), PHR_SUCCESS);
    EXPECT_TRUE(m_dir.WaitForLine("-- Ioctl(USB, PH_CONFIG_ADD_PORT, QX/Printer3) <PHR_SUCCESS>"));
    std::string strPowerValues;
    EXPECT_TRUE(m_host.Properties().GetString("/QX/Printer3/PowerValues", &strPowerValues));
    EXPECT_EQ(strPowerValues, "ON - OFFLINE - OFF");
    ASSERT_EQ(m_host.Open(h, "QX/Printer3"), PHR_SUCCESS);
    EXPECT_EQ(m_host.Close(h), PHR_SUCCESS);

    EXPECT_EQ(Code(PH_CONFIG_DELETE_PORT, "QX/Printer3", 0), PHR_SUCCESS);
    EXPECT_TRUE(m_dir.WaitForLine("-- Ioctl(USB, PH_CONFIG_DELETE_PORT) <PHR_SUCCESS>"));
    void* h2 = m_host.NewHandle();
    EXPECT_EQ(m_host.Open(h2, "QX/Printer3"), PHR_INVALID_CONFIGURATION);
}

TEST_F(ConfigCodesEndToEnd, DisplayPartMustGoBeforeItsPort)
{
    m_host.Properties().SetString("/JV/Printer1/PortType", "USB");
    EXPECT_EQ(Code(PH_CONFIG_ADD_PORT, "JV/Printer1", 0), PHR_SUCCESS);
    // Printer1 has its display part now: only Printer2 is offered.
    CData out;
    ASSERT_EQ(Code(PH_CONFIG_GET_COMPONENT_UI, "JV", 0, &out), PHR_SUCCESS);
    const std::string strDoc = Unpack8(out);
    EXPECT_EQ(strDoc.find("/JV/Printer1/"), std::string::npos);
    EXPECT_NE(strDoc.find("/JV/Printer2/"), std::string::npos);

    EXPECT_EQ(Code(PH_CONFIG_DELETE_PORT, "QX/Printer1", 0), PHR_PERMISSION_ERROR);
    EXPECT_TRUE(m_dir.WaitForLine("-- Ioctl(USB, PH_CONFIG_DELETE_PORT) <PHR_PERMISSION_ERROR>"));
    EXPECT_EQ(Code(PH_CONFIG_DELETE_PORT, "JV/Printer1", 0), PHR_SUCCESS);
    EXPECT_EQ(Code(PH_CONFIG_DELETE_PORT, "JV/Printer1", 0), PHR_INVALID_PARAMETER);
    EXPECT_TRUE(m_dir.WaitForLine("-- Ioctl(USB, PH_CONFIG_DELETE_PORT) <PHR_INVALID_PARAMETER>"));
    EXPECT_EQ(Code(PH_CONFIG_DELETE_PORT, "QX/Printer1", 0), PHR_SUCCESS);
}

TEST_F(ConfigCodesEndToEnd, FailureResultsAndLogLines)
{
    CData out;
    EXPECT_EQ(Code(PH_CONFIG_ADD_PORT, "QX", 0), PHR_INVALID_CONFIGURATION);
    EXPECT_TRUE(m_dir.WaitForLine("-- Ioctl(USB, PH_CONFIG_ADD_PORT) <PHR_INVALID_CONFIGURATION>"));
    EXPECT_EQ(Code(PH_CONFIG_DELETE_PORT, "QX/Printer1/extra", 0), PHR_INVALID_CONFIGURATION);
    EXPECT_TRUE(m_dir.WaitForLine("-- Ioctl(USB, PH_CONFIG_DELETE_PORT) <PHR_INVALID_CONFIGURATION>"));
    EXPECT_EQ(Code(PH_CONFIG_ADD_PORT, "JV/Nowhere", 0), PHR_INVALID_PARAMETER);
    EXPECT_TRUE(m_dir.WaitForLine("-- Ioctl(USB, PH_CONFIG_ADD_PORT) <PHR_INVALID_PARAMETER>"));
    EXPECT_EQ(Code(PH_CONFIG_GET_COMPONENT_UI, "", 0, &out), PHR_INVALID_PARAMETER);
    EXPECT_TRUE(m_dir.WaitForLine("-- Ioctl(USB, PH_CONFIG_GET_COMPONENT_UI) <PHR_INVALID_PARAMETER>"));
    EXPECT_EQ(Code(PH_CONFIG_GET_COMPONENT_UI, "QX", 0, &out), PHR_NOT_SUPPORTED);
    EXPECT_TRUE(m_dir.WaitForLine(
        "-- Ioctl(USB, PH_CONFIG_GET_COMPONENT_UI) <PHR_NOT_SUPPORTED> : Can not add USB port via UI XML"));
}

TEST_F(ConfigCodesEndToEnd, BootModeClaimThroughThePortsIoctl)
{
    void* h = OpenOk("QX/Printer1");
    const std::vector<unsigned char> key = {'K', 0x00, 0xFF};
    EXPECT_EQ(m_host.Ioctl(h, PH_USB_UPDATE_BOOT_MODE, ToData(key), nullptr), PHR_SUCCESS);
    EXPECT_TRUE(m_dir.WaitForLine(IoctlLine(h, PH_USB_UPDATE_BOOT_MODE, PHR_SUCCESS)));
    EXPECT_EQ(m_host.Ioctl(h, PH_USB_UPDATE_BOOT_MODE | PH_UCS2_STRINGS, CData(), nullptr), PHR_SUCCESS);
    EXPECT_EQ(m_host.Close(h), PHR_SUCCESS);
}

}  // namespace
