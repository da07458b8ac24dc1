// The port search end to end: which configured port a new device is bound to, take-over of ports
// whose device has gone, ports created through the host, boot-mode devices.
#include <gtest/gtest.h>

#include "tests/portmanager/PnPFixture.h"

using namespace pnptest;

namespace {

using PortSearchModel = PnPFixture;
using PortSearchDeviceID = PnPFixture;
using PortSearchTakeOver = PnPFixture;
using PortSearchNewPort = PnPFixture;
using PortSearchBootMode = PnPFixture;
using PortSearchDeviceClass = PnPFixture;

const std::string kGone = "USB#VID_0XFFFF##PID_0X202GONE";

usbsim::DeviceConfig Printer(const std::string& strSerial, const std::string& strModel, uint8_t ucDeviceID = 0x20)
{
    usbsim::DeviceConfig cfg = usbsim::DeviceConfig::vendorPrinter(strSerial);
    cfg.model = strModel;
    cfg.deviceId = ucDeviceID;
    return cfg;
}

// A printer that reports itself not ready: identified with the offline request, whose answer can
// carry any DeviceID byte (0 and 255 included).
usbsim::DevicePtr PlugOffline(const std::string& strSerial, const std::string& strModel, uint8_t ucDeviceID)
{
    usbsim::DevicePtr p = usbsim::plug(Printer(strSerial, strModel, ucDeviceID));
    p->setOffline(true);
    return p;
}

TEST_F(PortSearchModel, ExactModelIsChosenAtOnce)
{
    ConfigurePort("Alpha", "", "QX-K40V");
    ConfigurePort("Beta", "", "QX-K40IV");
    usbsim::DevicePtr p = usbsim::plug(Printer("SN1", "QX-K40V"));
    Load();
    ASSERT_EQ(WaitForPortOf(p->deviceName()), "Alpha");
    EXPECT_EQ(PortProperty("Beta", "PortName"), "<unset>");
    EXPECT_EQ(Ports().size(), 2u);
}

TEST_F(PortSearchModel, LaterGenerationTakesTheCandidateOfTheEarlierModel)
{
    // Both ports may be taken over by QX-K40VI; Beta replaces Alpha as the candidate because
    // its model differs and QX-K40IV may in turn give way to QX-K40V.
    ConfigurePort("Alpha", "", "QX-K40V");
    ConfigurePort("Beta", "", "QX-K40IV");
    usbsim::DevicePtr p = usbsim::plug(Printer("SN1", "QX-K40VI"));
    Load();
    ASSERT_EQ(WaitForPortOf(p->deviceName()), "Beta");
    EXPECT_EQ(PortProperty("Alpha", "PortName"), "<unset>");
}

TEST_F(PortSearchModel, SwappedModelsKeepTheFirstCandidate)
{
    ConfigurePort("Alpha", "", "QX-K40IV");
    ConfigurePort("Beta", "", "QX-K40V");
    usbsim::DevicePtr p = usbsim::plug(Printer("SN1", "QX-K40VI"));
    Load();
    ASSERT_EQ(WaitForPortOf(p->deviceName()), "Alpha");
    EXPECT_EQ(PortProperty("Beta", "PortName"), "<unset>");
}

TEST_F(PortSearchModel, EarlierGenerationGetsAPortOfItsOwn)
{
    ConfigurePort("Alpha", "", "QX-K40V");
    usbsim::DevicePtr p = usbsim::plug(Printer("SN1", "QX-K40IV"));
    Load();
    ASSERT_EQ(WaitForPortOf(p->deviceName()), "USB1");
    EXPECT_EQ(PortProperty("Alpha", "PortName"), "<unset>");
}

TEST_F(PortSearchDeviceID, PortWithoutDeviceIDAcceptsAnyDevice)
{
    ConfigurePort("A", "", "QX-K40V", 7);
    ConfigurePort("B", "", "QX-K40V");
    usbsim::DevicePtr p = usbsim::plug(Printer("SN1", "QX-K40V", 0x20));
    Load();
    ASSERT_EQ(WaitForPortOf(p->deviceName()), "B");
    EXPECT_EQ(PortProperty("A", "PortName"), "<unset>");
}

TEST_F(PortSearchDeviceID, DeviceReporting255FitsEveryPort)
{
    ConfigurePort("A", "", "QX-K40V", 7);
    usbsim::DevicePtr p = PlugOffline("SN1", "QX-K40V", 0xFF);
    Load();
    ASSERT_EQ(WaitForPortOf(p->deviceName()), "A");
    EXPECT_EQ(IdentifyRequests(p, true), 1u);
}

TEST_F(PortSearchDeviceID, ZeroIDPortWithoutModelIsTheFallback)
{
    ConfigurePort("Z", "", "", 0);
    usbsim::DevicePtr p = usbsim::plug(Printer("SN1", "QX-K40V", 0x20));
    Load();
    ASSERT_EQ(WaitForPortOf(p->deviceName()), "Z");
}

TEST_F(PortSearchDeviceID, CandidateBeatsTheFallback)
{
    ConfigurePort("A_Zero", "", "", 0);
    ConfigurePort("B_Older", "", "QX-K40IV", 0x20);
    usbsim::DevicePtr p = usbsim::plug(Printer("SN1", "QX-K40V", 0x20));
    Load();
    ASSERT_EQ(WaitForPortOf(p->deviceName()), "B_Older");
    EXPECT_EQ(PortProperty("A_Zero", "PortName"), "<unset>");
}

TEST_F(PortSearchDeviceID, DeviceWithIDZeroTakesTheZeroPortAtOnce)
{
    ConfigurePort("A_Zero", "", "", 0);
    ConfigurePort("B_Exact", "", "QX-K40V", 0);
    usbsim::DevicePtr p = PlugOffline("SN1", "QX-K40V", 0);
    Load();
    ASSERT_EQ(WaitForPortOf(p->deviceName()), "A_Zero");
    EXPECT_EQ(PortProperty("B_Exact", "PortName"), "<unset>");
}

TEST_F(PortSearchTakeOver, BoundPortWhoseDeviceIsAttachedIsNeverTakenOver)
{
    usbsim::DevicePtr pOwner = usbsim::plug(Printer("SN1", "QX-K40V"));
    ConfigurePort("Bound", pOwner->deviceName(), "QX-K40V", 0x20);
    Load();
    usbsim::DevicePtr pNew = usbsim::plug(Printer("SN2", "QX-K40V"));
    Notice();
    ASSERT_EQ(WaitForPortOf(pNew->deviceName()), "USB1");
    EXPECT_TRUE(WaitForLine("FindPortUpdate is SLn exist " + pOwner->deviceName()));
    EXPECT_EQ(PortProperty("Bound", "PortName"), pOwner->deviceName());
}

// An open printer-class port holds its device's interface; the device is still attached, so a
// newcomer of the same kind gets a port of its own and the open port keeps printing on its device.
TEST_F(PortSearchTakeOver, OpenPrinterClassPortIsNeverTakenOver)
{
    usbsim::DevicePtr pOwner = usbsim::plug(usbsim::DeviceConfig::printerClassDevice("PRT1"));
    ConfigurePort("P1", pOwner->deviceName());
    Tree().SetNumber("/QX/P1/DeviceClass", 1);
    Load();
    // The start-up enumeration's device-ID probe claims the device for a moment; opened during it,
    // the port would be refused.
    ASSERT_TRUE(pOwner->waitForRelease());
    void* h = OpenOk("QX/P1");
    usbsim::DevicePtr pNew = usbsim::plug(usbsim::DeviceConfig::printerClassDevice("PRT2"));
    Notice();
    ASSERT_EQ(WaitForPortOf(pNew->deviceName()), "USB1");
    EXPECT_EQ(PortProperty("P1", "PortName"), pOwner->deviceName());
    ASSERT_TRUE(WriteWhenReady(h, "kept"));
    EXPECT_NE(Text(pOwner->received()).find("kept"), std::string::npos);
    EXPECT_EQ(Text(pNew->received()).find("kept"), std::string::npos);
}

TEST_F(PortSearchTakeOver, PortWhoseDeviceHasGoneIsTakenOver)
{
    usbsim::DevicePtr pOwner = usbsim::plug(Printer("SN1", "QX-K40V"));
    ConfigurePort("A_Bound", pOwner->deviceName(), "QX-K40V", 0x20);
    ConfigurePort("B_Gone", kGone, "QX-K40V", 0x20);
    Tree().SetNumber("/QX/B_Gone/DeviceClass", 1);
    Load();
    void* h = OpenOk("QX/B_Gone");
    usbsim::DevicePtr pNew = usbsim::plug(Printer("SN2", "QX-K40V"));
    Notice();
    ASSERT_EQ(WaitForPortOf(pNew->deviceName()), "B_Gone");
    EXPECT_TRUE(WaitForLine("FindPortUpdate is SLn exist " + pOwner->deviceName()));
    EXPECT_EQ(PortNumber("B_Gone", "DeviceClass"), 0u);
    EXPECT_EQ(Ports().size(), 2u);
    // The port was open: its connection goes on with the new device.
    ASSERT_TRUE(WriteWhenReady(h, "taken"));
    EXPECT_EQ(Text(pNew->received()), IdentifiedThen("taken"));
}

TEST_F(PortSearchTakeOver, OpenUnboundPortGetsTheDevice)
{
    ConfigurePort("P1", "");
    Load();
    void* h = OpenOk("QX/P1");
    unsigned int ulWritten = 0;
    EXPECT_EQ(m_host.Write(h, ToData("x"), &ulWritten), PHR_DEVICE_NOT_AVAILABLE);
    usbsim::DevicePtr p = usbsim::plug(Printer("SN1", "QX-K40V"));
    Notice();
    ASSERT_EQ(WaitForPortOf(p->deviceName()), "P1");
    ASSERT_TRUE(WriteWhenReady(h, "bound"));
    EXPECT_EQ(Text(p->received()), IdentifiedThen("bound"));
}

TEST_F(PortSearchNewPort, DocumentCarriesTheDeviceAndThePortOpens)
{
    ConfigurePort("Other", "", "NF-T10", 0x55);
    usbsim::DevicePtr p = usbsim::plug(Printer("NEW1", "QX-K40V", 0x20));
    Load();
    ASSERT_EQ(WaitForPortOf(p->deviceName()), "USB1");
    EXPECT_EQ(PortProperty("USB1", "PortType"), "USB");
    EXPECT_EQ(PortProperty("USB1", "ModelName"), "QX-K40V");
    EXPECT_EQ(PortProperty("USB1", "Id.ModelName"), "QX-K40V");
    EXPECT_EQ(PortNumber("USB1", "DeviceID"), 32u);
    EXPECT_EQ(PortNumber("USB1", "OfflineTimeout"), 50u);
    EXPECT_EQ(PortNumber("USB1", "StatusPto"), 100u);
    EXPECT_EQ(PortProperty("USB1", "PowerValues"), "ON - OFFLINE - OFF");
    EXPECT_EQ(PortProperty("USB1", "ConfigurationPath"), "QX");
    EXPECT_EQ(PortProperty("Other", "PortName"), "<unset>");

    // The component loaded the new port: it opens and prints.
    void* h = OpenOk("QX/USB1");
    unsigned int ulWritten = 0;
    EXPECT_EQ(m_host.Write(h, ToData("new port"), &ulWritten), PHR_SUCCESS);
    EXPECT_EQ(Text(p->received()), IdentifiedThen("new port"));
}

TEST_F(PortSearchNewPort, MarkupInTheModelNameStaysData)
{
    const std::string strModel = "QX-\"K40\"/><property id=\"PortType\" value=\"X\"/>&amp;<";
    usbsim::DevicePtr p = usbsim::plug(Printer("NEW1", strModel, 0x20));
    Load();
    ASSERT_EQ(WaitForPortOf(p->deviceName()), "USB1");
    EXPECT_EQ(PortProperty("USB1", "ModelName"), strModel);
    EXPECT_EQ(PortProperty("USB1", "Id.ModelName"), strModel);
    EXPECT_EQ(PortProperty("USB1", "PortType"), "USB");
}

TEST_F(PortSearchBootMode, DeviceInBootModeGoesToTheTable)
{
    ConfigurePort("Claimer", kGone);
    ConfigurePort("Unbound", "");
    usbsim::DevicePtr pBoot = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("BOOT1"));
    pBoot->setOnlineAnswer({usbsim::answer::bootKey({'K', '7'})});
    usbsim::DevicePtr pMarker = usbsim::plug(Printer("ZZ9", "QX-K40V"));
    Load();
    // The boot-mode device comes first in name order; the unbound port went to the next device.
    ASSERT_EQ(WaitForPortOf(pMarker->deviceName()), "Unbound");
    EXPECT_TRUE(PortsNaming(pBoot->deviceName()).empty());
    EXPECT_EQ(Ports().size(), 2u);

    // A port claiming the key is served by the boot-mode device.
    void* h = OpenOk("QX/Claimer");
    // Claimed once the port has reported its missing device.
    ASSERT_TRUE(WaitUntil([&] { return PowerStates(h) == std::vector<int>{PH_POWER_UNAVAILABLE}; }));
    EXPECT_EQ(m_host.Ioctl(h, PH_USB_UPDATE_BOOT_MODE, ToData("K7"), nullptr), PHR_SUCCESS);
    EXPECT_TRUE(WaitForLine("-- BOOT MODE Open(" + HandleText(h) + ") : " + pBoot->deviceName()));
    ASSERT_TRUE(WriteWhenReady(h, "firmware"));
    EXPECT_EQ(Text(pBoot->received()), IdentifiedThen("firmware"));
}

// A port whose printer went into boot mode, while a printer-class device took the port over:
// the host's claim of the boot-mode device serves the handle from then on, however the devices
// arrived.
enum class Arrival { OneEdit, BootModeFirst, PrinterClassFirst, PrinterClassDeclinedAPort };

// What the device took after its identification requests (a device without a port is
// identified again at every bus scan).
std::string Printed(const usbsim::DevicePtr& p)
{
    const std::string strRequest = Text(usbsim::onlineIdentifyRequest());
    std::string s = Text(p->received());
    while (s.compare(0, strRequest.size(), strRequest) == 0)
        s.erase(0, strRequest.size());
    return s;
}

class PortSearchBootModeClaim : public PnPFixture, public ::testing::WithParamInterface<Arrival> {
protected:
    void SetUp() override
    {
        PnPFixture::SetUp();
        m_pOwn = usbsim::plug(usbsim::DeviceConfig::vendorPrinter("UPD001"));
        ConfigurePort("P3", m_pOwn->deviceName());
    }
    void PlugBootModeDevice()
    {
        // In boot mode from its first answer on: the scan at load may still be looking at the bus.
        usbsim::DeviceConfig cfg = usbsim::DeviceConfig::vendorPrinter("BOOT01");
        cfg.onlineAnswer = {usbsim::answer::bootKey({'K', 'E', 'Y', '9'})};
        m_pBoot = usbsim::plug(cfg);
    }
    void PlugPrinterClassDevice() { m_pPrt = usbsim::plug(usbsim::DeviceConfig::printerClassDevice("PRT0099")); }
    bool WaitForBootModeDevice() { return WaitForLine("-- BOOT MODE Found : " + m_pBoot->deviceName()); }
    bool WaitForTakeOver() { return WaitForPortProperty("P3", "PortName", m_pPrt->deviceName()); }
    std::string Claimed(void* h) { return "-- BOOT MODE Open(" + HandleText(h) + ") : " + m_pBoot->deviceName(); }

    usbsim::DevicePtr m_pOwn;
    usbsim::DevicePtr m_pBoot;
    usbsim::DevicePtr m_pPrt;
};

TEST_P(PortSearchBootModeClaim, ClaimServesTheHandleAfterATakeOver)
{
    if (GetParam() == Arrival::PrinterClassDeclinedAPort)
        Tree().DeclineMakePort(true);
    Load();
    void* h = OpenOk("QX/P3");
    ASSERT_TRUE(WaitUntil([&] { return PowerStates(h) == std::vector<int>{PH_POWER_READY}; }));

    switch (GetParam()) {
    case Arrival::OneEdit:
        usbsim::unplug(m_pOwn);
        PlugBootModeDevice();
        PlugPrinterClassDevice();
        Notice();
        break;
    case Arrival::BootModeFirst:
        usbsim::unplug(m_pOwn);
        PlugBootModeDevice();
        Notice();
        ASSERT_TRUE(WaitForBootModeDevice());
        PlugPrinterClassDevice();
        Notice();
        break;
    case Arrival::PrinterClassFirst:
        usbsim::unplug(m_pOwn);
        PlugPrinterClassDevice();
        Notice();
        ASSERT_TRUE(WaitForTakeOver());
        PlugBootModeDevice();
        Notice();
        break;
    case Arrival::PrinterClassDeclinedAPort:
        // The printer-class device waits without a port while P3's own device is there, and
        // takes P3 over once that device has gone.
        PlugPrinterClassDevice();
        Notice();
        ASSERT_TRUE(WaitForLine("-- PnP MakePort () <FALSE>"));
        usbsim::unplug(m_pOwn);
        PlugBootModeDevice();
        Notice();
        break;
    }
    ASSERT_TRUE(WaitForBootModeDevice());
    ASSERT_TRUE(WaitForTakeOver());
    ASSERT_TRUE(WaitForUnavailableThenReady(h, 1));

    EXPECT_EQ(m_host.Ioctl(h, PH_USB_UPDATE_BOOT_MODE, ToData("KEY9"), nullptr), PHR_SUCCESS);
    EXPECT_TRUE(WaitForLine("-- BOOT MODE Open(" + HandleText(h) + ") : " + m_pPrt->deviceName() + " gives way"));
    EXPECT_TRUE(WaitForLine(Claimed(h)));
    ASSERT_TRUE(WriteWhenReady(h, "firmware block"));
    EXPECT_EQ(Printed(m_pBoot), "firmware block");
    EXPECT_EQ(Text(m_pPrt->received()).find("firmware"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Arrivals, PortSearchBootModeClaim,
                         ::testing::Values(Arrival::OneEdit, Arrival::BootModeFirst, Arrival::PrinterClassFirst,
                                           Arrival::PrinterClassDeclinedAPort));

TEST_F(PortSearchBootModeClaim, TakeOverAfterAClaimLeavesTheHandleWithTheBootModeDevice)
{
    Load();
    void* h = OpenOk("QX/P3");
    ASSERT_TRUE(WaitUntil([&] { return PowerStates(h) == std::vector<int>{PH_POWER_READY}; }));
    usbsim::unplug(m_pOwn);
    PlugBootModeDevice();
    Notice();
    ASSERT_TRUE(WaitForBootModeDevice());
    EXPECT_EQ(m_host.Ioctl(h, PH_USB_UPDATE_BOOT_MODE, ToData("KEY9"), nullptr), PHR_SUCCESS);
    EXPECT_TRUE(WaitForLine(Claimed(h)));

    // The new device takes the port's configuration over; the handle stays with the claim.
    PlugPrinterClassDevice();
    Notice();
    ASSERT_TRUE(WaitForTakeOver());
    ASSERT_TRUE(WriteWhenReady(h, "firmware block"));
    EXPECT_EQ(Printed(m_pBoot), "firmware block");
    EXPECT_EQ(Text(m_pPrt->received()).find("firmware"), std::string::npos);
}

TEST_F(PortSearchDeviceClass, PrinterClassDeviceWritesOne)
{
    ConfigurePort("P1", "");
    usbsim::DevicePtr p = usbsim::plug(usbsim::DeviceConfig::printerClassDevice("PRT1"));
    Load();
    ASSERT_EQ(WaitForPortOf(p->deviceName()), "P1");
    // The class is written just after the device name.
    EXPECT_TRUE(WaitUntil([&] { return PortNumber("P1", "DeviceClass") == 1u; }));
    void* h = OpenOk("QX/P1");
    unsigned int ulWritten = 0;
    EXPECT_EQ(m_host.Write(h, ToData("prt"), &ulWritten), PHR_SUCCESS);
    EXPECT_EQ(Text(p->received()), IdentifiedThen("prt"));
}

TEST_F(PortSearchDeviceClass, VendorDeviceWritesZero)
{
    ConfigurePort("P1", "");
    Tree().SetNumber("/QX/P1/DeviceClass", 1);
    usbsim::DevicePtr p = usbsim::plug(Printer("SN1", "QX-K40V"));
    Load();
    ASSERT_EQ(WaitForPortOf(p->deviceName()), "P1");
    EXPECT_TRUE(WaitUntil([&] { return PortNumber("P1", "DeviceClass") == 0u; }));
}

}  // namespace
