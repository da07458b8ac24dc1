// The component-level configuration codes on the port manager: the configured-port table, the
// power values written to the host, the UI documents and the log lines.
#include <gtest/gtest.h>

#include <string>

#include "contract/PHString.h"
#include "tests/portmanager/IdentFixture.h"
#include "tests/portmanager/UiDocument.h"

using namespace ident;

namespace {

const unsigned int kAdd = PH_CONFIG_ADD_PORT;
const unsigned int kDelete = PH_CONFIG_DELETE_PORT;
const unsigned int kUi = PH_CONFIG_GET_COMPONENT_UI;
const unsigned int kWide = PH_UCS2_STRINGS;

class ConfigCodes : public IdentFixture {
protected:
    void SetUp() override
    {
        IdentFixture::SetUp();
        AddPort("Printer1", "USB#VID_0XFFFF##PID_0X202P1");
        Tree().SetString("/QX/Printer1/ModelName", "QX-K40V");
        AddPort("Printer2", "USB#VID_0XFFFF##PID_0X202P2");
    }
    CPropertyTree& Tree() { return m_host.Properties(); }
    unsigned int Add(const std::string& strRequest, unsigned int ulFlags = 0)
    {
        return m_pUpdateUSB->ConfigAddPort(CPHString::PackString(strRequest, ulFlags), kAdd | ulFlags);
    }
    unsigned int Delete(const std::string& strRequest, unsigned int ulFlags = 0)
    {
        return m_pUpdateUSB->ConfigDeletePort(CPHString::PackString(strRequest, ulFlags), kDelete | ulFlags);
    }
    // The UI request as the host sends it: 8-bit text whatever the flag.
    unsigned int Ui(const std::string& strRequest, std::string* pstrDocument, unsigned int ulFlags = 0)
    {
        CData out;
        const unsigned int r = m_pUpdateUSB->GetConfigUI(CPHString::PackString(strRequest, 0), kUi | ulFlags, &out);
        if (pstrDocument != nullptr)
            *pstrDocument = CPHString::ExtractString(out, (ulFlags & kWide) != 0);
        return r;
    }
    bool HasPort(const std::string& strName) { return m_pUpdateUSB->GetConfigPort(strName, nullptr); }
    _UXD_PORT Port(const std::string& strName)
    {
        _UXD_PORT port;
        EXPECT_TRUE(m_pUpdateUSB->GetConfigPort(strName, &port)) << strName;
        return port;
    }
    // Waits until the daemon has exactly n messages with the text (and no more arrive meanwhile).
    bool WaitForCount(const std::string& strText, size_t n)
    {
        return m_dir.Daemon().WaitFor([&](const std::vector<LogDaemonMessage>& vec) {
            size_t c = 0;
            for (const LogDaemonMessage& m : vec)
                c += m.kind == 0 && m.text == strText ? 1 : 0;
            return c == n;
        });
    }
    std::string PowerValues(const std::string& strPath)
    {
        std::string s = "<none>";
        Tree().GetString(strPath + "/PowerValues", &s);
        return s;
    }
};

TEST_F(ConfigCodes, AddQXPortReadsItsPropertiesAndWritesPowerValues)
{
    Start();
    AddPort("Printer3", "USB#VID_0XFFFF##PID_0X202P3");
    Tree().SetNumber("/QX/Printer3/DeviceID", 0x20);
    ASSERT_FALSE(HasPort("Printer3"));
    EXPECT_EQ(Add("QX/Printer3"), PHR_SUCCESS);
    const _UXD_PORT port = Port("Printer3");
    EXPECT_EQ(port.strPortName, "USB#VID_0XFFFF##PID_0X202P3");
    EXPECT_EQ(port.ucDeviceID, 0x20);
    EXPECT_EQ(port.infoQX.strPath, "/QX/Printer3/");
    EXPECT_EQ(port.infoJV.strPath, "/JV/Printer3/");
    EXPECT_EQ(port.infoJV.bConfigured, 0);
    EXPECT_EQ(PowerValues("/QX/Printer3"), "ON - OFFLINE - OFF");
    EXPECT_TRUE(m_dir.WaitForLine("-- Ioctl(USB, PH_CONFIG_ADD_PORT, QX/Printer3) <PHR_SUCCESS>"));
}

TEST_F(ConfigCodes, SlashesDoNotMatterButTheLogShowsTheRequest)
{
    Start();
    AddPort("Printer3", "D3");
    AddPort("Printer4", "D4");
    EXPECT_EQ(Add("/QX/Printer3/"), PHR_SUCCESS);
    EXPECT_EQ(Add("QX//Printer4"), PHR_SUCCESS);
    EXPECT_TRUE(HasPort("Printer3"));
    EXPECT_TRUE(HasPort("Printer4"));
    EXPECT_EQ(PowerValues("/QX/Printer3"), "ON - OFFLINE - OFF");
    EXPECT_EQ(PowerValues("/QX/Printer4"), "ON - OFFLINE - OFF");
    EXPECT_TRUE(m_dir.WaitForLine("-- Ioctl(USB, PH_CONFIG_ADD_PORT, /QX/Printer3/) <PHR_SUCCESS>"));
    EXPECT_TRUE(m_dir.WaitForLine("-- Ioctl(USB, PH_CONFIG_ADD_PORT, QX//Printer4) <PHR_SUCCESS>"));
}

TEST_F(ConfigCodes, RequestsWithoutExactlyTwoPieces)
{
    Start();
    for (const char* psz : {"QX", "QX/Printer1/extra", "", "///"}) {
        EXPECT_EQ(Add(psz), PHR_INVALID_CONFIGURATION) << psz;
        EXPECT_EQ(Delete(psz), PHR_INVALID_CONFIGURATION) << psz;
    }
    EXPECT_EQ(m_pUpdateUSB->ConfigAddPort(CData(), kAdd), PHR_INVALID_CONFIGURATION);
    EXPECT_TRUE(HasPort("Printer1"));
    EXPECT_TRUE(WaitForCount("-- Ioctl(USB, PH_CONFIG_ADD_PORT) <PHR_INVALID_CONFIGURATION>", 5));
    EXPECT_TRUE(WaitForCount("-- Ioctl(USB, PH_CONFIG_DELETE_PORT) <PHR_INVALID_CONFIGURATION>", 4));
}

TEST_F(ConfigCodes, AddOfUnreadablePorts)
{
    Start();
    Tree().SetString("/QX/Lower/PortType", "usb");
    EXPECT_EQ(Add("QX/Lower"), PHR_INVALID_PARAMETER);
    EXPECT_EQ(Add("QX/Missing"), PHR_INVALID_PARAMETER);
    EXPECT_FALSE(HasPort("Lower"));
    // The JV part of a port that is not configured, and a JV part without properties.
    EXPECT_EQ(Add("JV/Missing"), PHR_INVALID_PARAMETER);
    EXPECT_EQ(Add("JV/Printer2"), PHR_INVALID_PARAMETER);
    EXPECT_EQ(Port("Printer2").infoJV.bConfigured, 0);
    EXPECT_EQ(PowerValues("/QX/Lower"), "<none>");
    EXPECT_EQ(PowerValues("/JV/Printer2"), "<none>");
    EXPECT_TRUE(WaitForCount("-- Ioctl(USB, PH_CONFIG_ADD_PORT) <PHR_INVALID_PARAMETER>", 4));
}

TEST_F(ConfigCodes, AddOfAnExistingNameKeepsTheRecordAndWritesPowerValuesAgain)
{
    Start();
    void* h = Handle(1);
    ASSERT_EQ(m_pUpdateUSB->OpenPort(h, "QX/Printer1"), PHR_SUCCESS);
    Tree().SetString("/QX/Printer1/ModelName", "CHANGED");
    Tree().Remove("/QX/Printer1/PowerValues");
    EXPECT_EQ(Add("QX/Printer1"), PHR_SUCCESS);
    const _UXD_PORT port = Port("Printer1");
    EXPECT_EQ(port.strModelName, "QX-K40V");
    EXPECT_EQ(port.infoQX.bOpened, 1);
    EXPECT_EQ(port.infoQX.hPort, h);
    EXPECT_EQ(PowerValues("/QX/Printer1"), "ON - OFFLINE - OFF");
    EXPECT_EQ(m_pUpdateUSB->ClosePort(h), PHR_SUCCESS);
}

TEST_F(ConfigCodes, AddOfTheDisplayPart)
{
    Tree().SetString("/JV/Printer1/PortType", "USB");
    Tree().SetNumber("/JV/Printer1/StatusPto", 700);
    Start();
    // Loaded at start-up with its display part.
    EXPECT_EQ(Port("Printer1").infoJV.bConfigured, 1);
    EXPECT_EQ(Delete("JV/Printer1"), PHR_SUCCESS);
    EXPECT_EQ(Port("Printer1").infoJV.bConfigured, 0);
    Tree().SetNumber("/JV/Printer1/StatusPto", 900);
    EXPECT_EQ(Add("JV/Printer1"), PHR_SUCCESS);
    const _UXD_PORT port = Port("Printer1");
    EXPECT_EQ(port.infoJV.bConfigured, 1);
    EXPECT_EQ(port.infoJV.ulStatusPto, 900u);
    EXPECT_EQ(PowerValues("/JV/Printer1"), "ON - OFF/OFFLINE - OFF");
    EXPECT_TRUE(m_dir.WaitForLine("-- Ioctl(USB, PH_CONFIG_ADD_PORT, JV/Printer1) <PHR_SUCCESS>"));
}

TEST_F(ConfigCodes, DeleteOrder)
{
    Tree().SetString("/JV/Printer1/PortType", "USB");
    Start();
    EXPECT_EQ(Delete("QX/Printer1"), PHR_PERMISSION_ERROR);
    EXPECT_TRUE(HasPort("Printer1"));
    EXPECT_EQ(Delete("JV/Printer1"), PHR_SUCCESS);
    EXPECT_EQ(Delete("JV/Printer1"), PHR_INVALID_PARAMETER);
    EXPECT_EQ(Delete("QX/Printer1"), PHR_SUCCESS);
    EXPECT_FALSE(HasPort("Printer1"));
    EXPECT_EQ(Delete("QX/Printer1"), PHR_INVALID_PARAMETER);
    EXPECT_EQ(Delete("JV/Nowhere"), PHR_INVALID_PARAMETER);
    EXPECT_TRUE(WaitForCount("-- Ioctl(USB, PH_CONFIG_DELETE_PORT) <PHR_PERMISSION_ERROR>", 1));
    EXPECT_TRUE(WaitForCount("-- Ioctl(USB, PH_CONFIG_DELETE_PORT) <PHR_SUCCESS>", 2));
    EXPECT_TRUE(WaitForCount("-- Ioctl(USB, PH_CONFIG_DELETE_PORT) <PHR_INVALID_PARAMETER>", 3));
    // The host's properties stay.
    EXPECT_TRUE(Tree().Exists("/QX/Printer1/PortType"));
    EXPECT_TRUE(Tree().Exists("/JV/Printer1/PortType"));
}

TEST_F(ConfigCodes, DeleteLeavesAnOpenConnectionAlone)
{
    Start();
    void* h = Handle(1);
    ASSERT_EQ(m_pUpdateUSB->OpenPort(h, "QX/Printer2"), PHR_SUCCESS);
    EXPECT_EQ(Delete("QX/Printer2"), PHR_SUCCESS);
    EXPECT_FALSE(HasPort("Printer2"));
    CData out;
    EXPECT_EQ(m_pUpdateUSB->IoCtl(h, PH_USB_GET_POWER_STATE, CData(), &out), PHR_SUCCESS);
    EXPECT_EQ(m_pUpdateUSB->ClosePort(h), PHR_SUCCESS);
    EXPECT_EQ(m_pUpdateUSB->OpenPort(Handle(2), "QX/Printer2"), PHR_INVALID_CONFIGURATION);
}

TEST_F(ConfigCodes, Ucs2RequestTexts)
{
    Start();
    AddPort("Printer3", "D3");
    EXPECT_EQ(Add("QX/Printer3", kWide), PHR_SUCCESS);
    EXPECT_TRUE(HasPort("Printer3"));
    EXPECT_TRUE(m_dir.WaitForLine("-- Ioctl(USB, PH_CONFIG_ADD_PORT, QX/Printer3) <PHR_SUCCESS>"));
    EXPECT_EQ(Delete("QX/Printer3", kWide), PHR_SUCCESS);
    EXPECT_FALSE(HasPort("Printer3"));
    // Without the flag the UCS-2 text reads as "Q".
    EXPECT_EQ(m_pUpdateUSB->ConfigAddPort(CPHString::PackString("QX/Printer3", kWide), kAdd), PHR_INVALID_CONFIGURATION);
}

TEST_F(ConfigCodes, UiDocumentForChangingAPort)
{
    Start();
    std::string strDoc;
    ASSERT_EQ(Ui("QX/Printer1", &strDoc), PHR_SUCCESS);
    UiDocument doc = ParseUi(strDoc);
    ASSERT_TRUE(doc.bWellFormed) << strDoc;
    EXPECT_EQ(doc.mapProperty["ConfigurationPath"], "QX/Printer1");
    EXPECT_EQ(doc.mapProperty["PowerValues"], "ON - OFFLINE - OFF");
    EXPECT_NE(strDoc.find("<range id=\"OfflineTimeout\""), std::string::npos);

    ASSERT_EQ(Ui("JV/Printer1", &strDoc), PHR_SUCCESS);
    doc = ParseUi(strDoc);
    ASSERT_TRUE(doc.bWellFormed);
    EXPECT_EQ(doc.mapProperty["ConfigurationPath"], "JV/Printer1");
    EXPECT_EQ(doc.mapProperty["PowerValues"], "ON - OFF/OFFLINE - OFF");
    EXPECT_EQ(strDoc.find("OfflineTimeout"), std::string::npos);

    // The fill text is the request as sent, and a port need not exist for it.
    ASSERT_EQ(Ui("/QX//Other/", &strDoc), PHR_SUCCESS);
    EXPECT_EQ(ParseUi(strDoc).mapProperty["ConfigurationPath"], "/QX//Other/");
    // Any first piece other than JV gets the QX document.
    ASSERT_EQ(Ui("RP/Printer1", &strDoc), PHR_SUCCESS);
    EXPECT_EQ(ParseUi(strDoc).mapProperty["PowerValues"], "ON - OFFLINE - OFF");
}

TEST_F(ConfigCodes, UiDocumentForAddingADisplayPart)
{
    Tree().SetString("/QX/Printer2/Id.IsKorvo", "KORVO-X");
    Start();
    std::string strDoc;
    ASSERT_EQ(Ui("JV", &strDoc), PHR_SUCCESS);
    const UiDocument doc = ParseUi(strDoc);
    ASSERT_TRUE(doc.bWellFormed) << strDoc;
    ASSERT_EQ(doc.vecOptions.size(), 2u);
    const UiOption& o1 = doc.vecOptions[0];
    EXPECT_EQ(o1.strValue, "/JV/Printer1/");
    EXPECT_EQ(o1.mapLabel.at("en"), "Printer1 (QX-K40V)");
    EXPECT_EQ(o1.mapTooltip.at("ja"), "Printer1 connected to QX-K40V");
    EXPECT_EQ(o1.mapProperty.at("PortName"), "USB#VID_0XFFFF##PID_0X202P1");
    EXPECT_EQ(o1.mapProperty.at("PortModel"), "QX-K40V");
    // A value the host keeps under Id.IsKorvo replaces the model text.
    const UiOption& o2 = doc.vecOptions[1];
    EXPECT_EQ(o2.mapLabel.at("en"), "Printer2 (KORVO-X)");
    EXPECT_EQ(o2.mapProperty.at("PortModel"), "");
}

TEST_F(ConfigCodes, ValuesThatNeedEscapingCannotBreakTheDocument)
{
    const std::string strModel = "A&B <\"K'40\">\t</option><evil/>";
    const std::string strDevice = "USB#\"/><x y='1";
    AddPort("P&<1>\"'", strDevice);
    Tree().SetString("/QX/P&<1>\"'/ModelName", strModel);
    Tree().SetString("/QX/Printer1/ModelName", std::string(5000, 'M'));
    Start();
    std::string strDoc;
    ASSERT_EQ(Ui("JV", &strDoc), PHR_SUCCESS);
    const UiDocument doc = ParseUi(strDoc);
    ASSERT_TRUE(doc.bWellFormed) << strDoc;
    ASSERT_EQ(doc.vecOptions.size(), 3u);
    // Port-name order: "P&<1>\"'" sorts before "Printer1".
    const UiOption& o = doc.vecOptions[0];
    EXPECT_EQ(o.strValue, "/JV/P&<1>\"'/");
    EXPECT_EQ(o.mapLabel.at("en"), "P&<1>\"' (" + strModel + ")");
    EXPECT_EQ(o.mapTooltip.at("en"), "P&<1>\"' connected to " + strModel);
    EXPECT_EQ(o.mapProperty.at("PortName"), strDevice);
    EXPECT_EQ(o.mapProperty.at("PortModel"), strModel);
    // A long model text fits.
    EXPECT_EQ(doc.vecOptions[1].mapLabel.at("ja"), "Printer1 (" + std::string(5000, 'M') + ")");

    const std::string strRequest = "QX/a\"><evil x='1'>&amp;\r\n";
    ASSERT_EQ(Ui(strRequest, &strDoc), PHR_SUCCESS);
    const UiDocument mod = ParseUi(strDoc);
    ASSERT_TRUE(mod.bWellFormed) << strDoc;
    EXPECT_EQ(mod.mapProperty.at("ConfigurationPath"), strRequest);
}

TEST_F(ConfigCodes, UiRequestFailures)
{
    Start();
    CData out = CPHString::PackString("stale", 0);
    EXPECT_EQ(m_pUpdateUSB->GetConfigUI(CData(), kUi, &out), PHR_INVALID_PARAMETER);
    EXPECT_EQ(Ui("a/b/c", nullptr), PHR_INVALID_PARAMETER);
    EXPECT_EQ(m_pUpdateUSB->GetConfigUI(CPHString::PackString("JV", 0), kUi, nullptr), PHR_INVALID_PARAMETER);
    EXPECT_EQ(Ui("QX", nullptr), PHR_NOT_SUPPORTED);
    EXPECT_TRUE(WaitForCount("-- Ioctl(USB, PH_CONFIG_GET_COMPONENT_UI) <PHR_INVALID_PARAMETER>", 3));
    EXPECT_TRUE(m_dir.WaitForLine(
        "-- Ioctl(USB, PH_CONFIG_GET_COMPONENT_UI) <PHR_NOT_SUPPORTED> : Can not add USB port via UI XML"));
}

TEST_F(ConfigCodes, UiWithoutPortsLackingADisplayPart)
{
    Tree().SetString("/JV/Printer1/PortType", "USB");
    Tree().SetString("/JV/Printer2/PortType", "USB");
    Start();
    for (unsigned int ulFlags : {0u, kWide}) {
        CData out;
        EXPECT_EQ(m_pUpdateUSB->GetConfigUI(CPHString::PackString("JV", 0), kUi | ulFlags, &out), PHR_PERMISSION_ERROR);
        // The packed empty text: one zero byte, or one zero unit in UCS-2 form.
        EXPECT_EQ(testsupport::BytesOf(out), std::vector<unsigned char>(ulFlags ? 2 : 1, 0));
    }
    EXPECT_TRUE(WaitForCount("-- Ioctl(USB, PH_CONFIG_GET_COMPONENT_UI) <PHR_PERMISSION_ERROR>", 2));
}

}  // namespace
