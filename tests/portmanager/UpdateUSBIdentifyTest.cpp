// Power queries and model identification against devices on the simulated bus.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/portmanager/IdentFixture.h"

using namespace ident;
namespace answer = usbsim::answer;

namespace {

using Bytes = usbsim::Bytes;

using testsupport::ToBytes;

bool Contains(const Bytes& hay, const Bytes& needle)
{
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

class Identify : public IdentFixture {
protected:
    // Identification of a plugged device through GetDeviceInfo.
    int Info(const usbsim::DevicePtr& pDevice, int bPRT = 0, unsigned int ulPower = 0)
    {
        m_port = _UXD_PORT();
        m_port.ucDeviceID = 7;
        m_key = CData();
        return m_pUpdateUSB->GetDeviceInfo(pDevice->deviceName(), &m_port, &m_key, bPRT, ulPower);
    }
    bool WaitForIdLine(int nID, const std::string& strModel)
    {
        return m_dir.WaitForLine("-- PnP DeviceID = " + std::to_string(nID) + ", ModelName = '" + strModel + "'");
    }
    // Waits until the daemon has n "-- PnP Read()" traces and returns their data.
    std::vector<Bytes> ReadTraces(size_t n)
    {
        m_dir.Daemon().WaitFor([&](const std::vector<LogDaemonMessage>& vec) {
            size_t c = 0;
            for (const LogDaemonMessage& msg : vec)
                c += msg.kind == 0 && msg.text == "-- PnP Read()" ? 1 : 0;
            return c >= n;
        });
        std::vector<Bytes> vec;
        for (const auto& data : MessageData("-- PnP Read()"))
            vec.push_back(Bytes(data.begin(), data.end()));
        return vec;
    }

    // Queues the next piece of an answer once the device has delivered the previous one and the
    // read that took it has ended (the transport ends a read after three empty transfers), so
    // that the pieces arrive in separate reads.
    void FeedAfter(const usbsim::DevicePtr& pDevice, const Bytes& delivered, const Bytes& next)
    {
        ASSERT_TRUE(pDevice->waitUntil([&](const std::vector<usbsim::Record>& rs) {
            int nEmpty = -1;
            for (const usbsim::Record& r : rs) {
                if (r.type != usbsim::Record::Type::BulkIn)
                    continue;
                if (r.data == delivered)
                    nEmpty = 0;
                else if (nEmpty >= 0 && r.data.empty())
                    ++nEmpty;
            }
            return nEmpty >= 3;
        }));
        pDevice->queueInput(next);
    }
    // Whether the capability word was asked for between the flow-control reset of the open and
    // the switch to forced flow.
    static bool CapabilityAskedBeforeForcedFlow(const usbsim::DevicePtr& pDevice)
    {
        bool bAsked = false;
        for (const usbsim::Record& r : pDevice->records()) {
            if (r.isVendor(2) && (r.bmRequestType & 0x80) == 0 && r.wValue == 0)
                bAsked = false;
            else if (r.isVendor(0) && (r.bmRequestType & 0x80) != 0)
                bAsked = true;
            else if (r.isVendor(2) && (r.bmRequestType & 0x80) == 0 && r.wValue == 2)
                return bAsked;
        }
        ADD_FAILURE() << "no switch to forced flow";
        return false;
    }

    _UXD_PORT m_port;
    CData m_key;
    std::atomic<int> m_nResult{-1};
};

TEST_F(Identify, OnlineUnderscoreAnswer)
{
    usbsim::DevicePtr pDevice = Plug(usbsim::DeviceConfig::vendorPrinter("ID1"));
    Start();
    ASSERT_EQ(Info(pDevice), 1);
    EXPECT_EQ(m_port.ucDeviceID, 0x20);
    EXPECT_EQ(m_port.strModelName, "QX-K40V");
    EXPECT_EQ(m_port.infoQX.strModelName, "QX-K40V");
    EXPECT_TRUE(m_key.IsEmpty());
    EXPECT_TRUE(WaitForIdLine(32, "QX-K40V"));
    EXPECT_TRUE(Contains(pDevice->received(), usbsim::onlineIdentifyRequest()));
    const std::vector<Bytes> traces = ReadTraces(1);
    ASSERT_EQ(traces.size(), 1u);
    EXPECT_EQ(traces[0], answer::concat({answer::underscoreModel("QX-K40V"), answer::deviceIdByte(0x20)}));
}

TEST_F(Identify, OnlineModelBlockBeforeUnderscoreBlock)
{
    usbsim::DevicePtr pDevice = Plug(usbsim::DeviceConfig::vendorPrinter("ID2"));
    pDevice->setOnlineAnswer({answer::concat(
        {answer::modelBlock("QX-K40VI"), answer::underscoreModel("QX-K40V"), answer::deviceIdByte(0x20)})});
    Start();
    ASSERT_EQ(Info(pDevice), 1);
    EXPECT_EQ(m_port.strModelName, "QX-K40VI");
    EXPECT_EQ(m_port.ucDeviceID, 0x20);
    EXPECT_TRUE(WaitForIdLine(32, "QX-K40VI"));
}

TEST_F(Identify, OnlineBootKeyWithoutDeviceID)
{
    usbsim::DevicePtr pDevice = Plug(usbsim::DeviceConfig::vendorPrinter("ID3"));
    const Bytes key = {'B', 'O', 'O', 'T', 0x01, 0xFE, 0x80};
    pDevice->setOnlineAnswer({answer::bootKey(key)});
    Start();
    ASSERT_EQ(Info(pDevice), 1);
    EXPECT_EQ(m_port.ucDeviceID, 255);
    EXPECT_EQ(m_port.strModelName, "");
    EXPECT_EQ(Bytes(m_key.Buffer(), m_key.Buffer() + m_key.Length()), key);
}

TEST_F(Identify, StatusBlocksAreSkippedWhole)
{
    usbsim::DevicePtr pDevice = Plug(usbsim::DeviceConfig::vendorPrinter("ID4"));
    pDevice->setOnlineAnswer({answer::concat({answer::statusBlock(), Bytes{0x10, 0x5F, 0x41, 0x31},
                                              answer::underscoreModel("QX-K40V"), answer::deviceIdByte(0x20)})});
    Start();
    ASSERT_EQ(Info(pDevice), 1);
    EXPECT_EQ(m_port.ucDeviceID, 0x20);
    EXPECT_EQ(m_port.strModelName, "QX-K40V");
    EXPECT_TRUE(m_key.IsEmpty());
}

TEST_F(Identify, AnswerSplitOverSeveralReads)
{
    usbsim::DevicePtr pDevice = Plug(usbsim::DeviceConfig::vendorPrinter("ID5"));
    const Bytes part1 = ToBytes("_QX-");
    const Bytes part2 = {'K', '4', '0', 'V', 0};
    pDevice->setOnlineAnswer({part1});
    Start();
    std::thread identify([&] { m_nResult = Info(pDevice); });
    FeedAfter(pDevice, part1, part2);
    FeedAfter(pDevice, part2, answer::deviceIdByte(0x21));
    identify.join();
    ASSERT_EQ(m_nResult, 1);
    EXPECT_EQ(m_port.strModelName, "QX-K40V");
    EXPECT_EQ(m_port.ucDeviceID, 0x21);
    const std::vector<Bytes> traces = ReadTraces(3);
    EXPECT_EQ(traces, (std::vector<Bytes>{part1, part2, answer::deviceIdByte(0x21)}));
}

TEST_F(Identify, BootKeySplitOverReadsIsTakenWhole)
{
    usbsim::DevicePtr pDevice = Plug(usbsim::DeviceConfig::vendorPrinter("ID6"));
    const Bytes part1 = ToBytes("1KEY-");
    pDevice->setOnlineAnswer({part1});
    Start();
    std::thread identify([&] { m_nResult = Info(pDevice); });
    FeedAfter(pDevice, part1, Bytes{'T', 'A', 'I', 'L', 0});
    identify.join();
    ASSERT_EQ(m_nResult, 1);
    EXPECT_EQ(String(m_key), "KEY-TAIL");
    EXPECT_EQ(m_port.ucDeviceID, 255);
    EXPECT_EQ(ReadTraces(2).size(), 2u);
}

TEST_F(Identify, PendingInputIsDrainedBeforeTheRequest)
{
    usbsim::DevicePtr pDevice = Plug(usbsim::DeviceConfig::vendorPrinter("ID7"));
    // Read as an answer, 0x41 would be the DeviceID.
    pDevice->queueInput(Bytes{0x41, 0x42});
    Start();
    ASSERT_EQ(Info(pDevice), 1);
    EXPECT_EQ(m_port.ucDeviceID, 0x20);
    EXPECT_EQ(pDevice->pendingInput(), 0u);
}

TEST_F(Identify, ThousandTwentyFourBytesWithoutAnswer)
{
    usbsim::DevicePtr pDevice = Plug(usbsim::DeviceConfig::vendorPrinter("ID8"));
    // The DeviceID byte comes after the receive buffer is full and is never looked at.
    pDevice->setOnlineAnswer({Bytes(600, 0x80), Bytes(424, 0x80), answer::deviceIdByte(0x20)});
    Start();
    EXPECT_EQ(Info(pDevice), 0);
    EXPECT_EQ(m_port.ucDeviceID, 7);
    EXPECT_EQ(m_port.strModelName, "");
}

TEST_F(Identify, NoAnswerWithinTheWindow)
{
    usbsim::DevicePtr pDevice = Plug(usbsim::DeviceConfig::vendorPrinter("ID9"));
    pDevice->setOnlineAnswer({});
    Start();
    EXPECT_EQ(Info(pDevice), 0);
    EXPECT_TRUE(Contains(pDevice->received(), usbsim::onlineIdentifyRequest()));
    EXPECT_TRUE(m_key.IsEmpty());
}

TEST_F(Identify, ModelNameOf255CharactersAndLonger)
{
    usbsim::DevicePtr pDevice = Plug(usbsim::DeviceConfig::vendorPrinter("ID10"));
    const std::string strExact(255, 'Q');
    pDevice->setOnlineAnswer({answer::concat({answer::modelBlock(strExact), answer::deviceIdByte(0x20)})});
    Start();
    ASSERT_EQ(Info(pDevice), 1);
    EXPECT_EQ(m_port.strModelName, strExact);

    // The tail of a name longer than the buffer is part of the name, not a DeviceID ('A').
    pDevice->setOnlineAnswer({answer::concat({answer::underscoreModel(std::string(300, 'A')), answer::deviceIdByte(0x22)})});
    ASSERT_EQ(Info(pDevice), 1);
    EXPECT_EQ(m_port.strModelName, std::string(255, 'A'));
    EXPECT_EQ(m_port.ucDeviceID, 0x22);
}

TEST_F(Identify, DeviceThatCannotBeOpenedIsNotIdentified)
{
    Start();
    _UXD_PORT port;
    EXPECT_EQ(m_pUpdateUSB->GetDeviceInfo("USB#VID_0XFFFF##PID_0X202GONE", &port, nullptr, 0, 0), 0);
    EXPECT_EQ(m_pUpdateUSB->GetPowerQXState("USB#VID_0XFFFF##PID_0X202GONE"), static_cast<int>(PHR_DEVICE_NOT_AVAILABLE));
    EXPECT_EQ(m_pUpdateUSB->GetPowerPRTState("USB#VID_0XFFFF##PID_0X202GONE"), 2);
}

TEST_F(Identify, PowerStates)
{
    usbsim::DevicePtr pReady = Plug(usbsim::DeviceConfig::vendorPrinter("PW1"));
    usbsim::DevicePtr pOffline = Plug(usbsim::DeviceConfig::vendorPrinter("PW2"));
    usbsim::DevicePtr pPrt = Plug(usbsim::DeviceConfig::printerClassDevice("PW3"));
    pOffline->setOffline(true);
    Start();
    EXPECT_EQ(m_pUpdateUSB->GetPowerQXState(pReady->deviceName()), 0);
    EXPECT_EQ(m_pUpdateUSB->GetPowerQXState(pOffline->deviceName()), 1);
    EXPECT_EQ(m_pUpdateUSB->GetPowerPRTState(pPrt->deviceName()), 0);
    pPrt->setOffline(true);
    EXPECT_EQ(m_pUpdateUSB->GetPowerPRTState(pPrt->deviceName()), 1);

    usbsim::ControlFault fault;
    fault.bmRequestType = 0xC1;
    fault.bRequest = 1;
    fault.count = -1;
    pPrt->addControlFault(fault);
    pReady->addControlFault(fault);
    EXPECT_EQ(m_pUpdateUSB->GetPowerPRTState(pPrt->deviceName()), static_cast<int>(PHR_DEVICE_NOT_AVAILABLE));
    EXPECT_EQ(m_pUpdateUSB->GetPowerQXState(pReady->deviceName()), static_cast<int>(PHR_DEVICE_NOT_AVAILABLE));
}

TEST_F(Identify, OfflinePrinterIsSwitchedToForcedFlowAndIdentified)
{
    usbsim::DevicePtr pDevice = Plug(usbsim::DeviceConfig::vendorPrinter("OF1"));
    pDevice->setOffline(true);
    Start();
    ASSERT_EQ(Info(pDevice, 0, 1), 1);
    EXPECT_EQ(m_port.strModelName, "QX-K40V");
    EXPECT_EQ(m_port.ucDeviceID, 0x20);
    EXPECT_TRUE(pDevice->forcedFlow());
    EXPECT_TRUE(Contains(pDevice->received(), usbsim::offlineIdentifyRequest()));
    EXPECT_TRUE(WaitForIdLine(32, "QX-K40V"));
    EXPECT_TRUE(CapabilityAskedBeforeForcedFlow(pDevice));
}

TEST_F(Identify, OfflinePrinterWithoutForcedFlowIsNotIdentified)
{
    usbsim::DeviceConfig cfg = usbsim::DeviceConfig::vendorPrinter("OF2");
    cfg.forcedFlow = false;
    usbsim::DevicePtr pDevice = Plug(cfg);
    pDevice->setOffline(true);
    Start();
    EXPECT_EQ(Info(pDevice, 0, 1), 0);
    EXPECT_FALSE(Contains(pDevice->received(), usbsim::offlineIdentifyRequest()));
    EXPECT_EQ(m_port.ucDeviceID, 7);
}

TEST_F(Identify, OfflinePrinterClassDeviceSkipsTheCapabilityTest)
{
    usbsim::DevicePtr pDevice = Plug(usbsim::DeviceConfig::printerClassDevice("OF3"));
    pDevice->setOffline(true);
    Start();
    ASSERT_EQ(Info(pDevice, 1, 1), 1);
    EXPECT_EQ(m_port.strModelName, pDevice->config().model);
    EXPECT_FALSE(CapabilityAskedBeforeForcedFlow(pDevice));
}

TEST_F(Identify, OfflineDeviceIDBlockAlone)
{
    usbsim::DevicePtr pDevice = Plug(usbsim::DeviceConfig::vendorPrinter("OF4"));
    pDevice->setOffline(true);
    pDevice->setOfflineAnswer({answer::statusBlock(), answer::deviceIdBlock(0xC8)});
    Start();
    ASSERT_EQ(Info(pDevice, 0, 1), 1);
    EXPECT_EQ(m_port.strModelName, "");
    EXPECT_EQ(m_port.ucDeviceID, 0xC8);
    // The offline trace prints the DeviceID as a signed byte.
    EXPECT_TRUE(WaitForIdLine(-56, ""));
}

TEST_F(Identify, OfflineVariantIgnoresOnlineAnswers)
{
    usbsim::DevicePtr pDevice = Plug(usbsim::DeviceConfig::vendorPrinter("OF5"));
    pDevice->setOffline(true);
    pDevice->setOfflineAnswer({answer::concat({answer::underscoreModel("QX-K40V"), answer::deviceIdByte(0x20)})});
    Start();
    EXPECT_EQ(Info(pDevice, 0, 1), 0);
}

TEST_F(Identify, PowerQueryOnAnOpenPortsDeviceSharesIt)
{
    usbsim::DevicePtr pDevice = Plug(usbsim::DeviceConfig::vendorPrinter("SH1"));
    Start();
    void* h = Handle(1);
    ASSERT_EQ(m_pUpdateUSB->OpenPort(h, "QX/Known1"), PHR_SUCCESS);
    EXPECT_EQ(m_pUpdateUSB->GetPowerQXState(pDevice->deviceName()), 0);
    EXPECT_EQ(m_pUpdateUSB->GetPowerPRTState(pDevice->deviceName()), 0);
    // Giving the query's reference back left the port's binding open.
    unsigned int ulWritten = 0;
    const Bytes data = {'o', 'k'};
    EXPECT_EQ(m_pUpdateUSB->WriteToPort(h, porttest::ToData(data), &ulWritten), PHR_SUCCESS);
    EXPECT_EQ(ulWritten, 2u);
    EXPECT_EQ(m_pUpdateUSB->ClosePort(h), PHR_SUCCESS);
}

TEST_F(Identify, NullArgumentsAreRefused)
{
    Start();
    char szModel[8];
    char cID = 0;
    CUSBDevice device;
    EXPECT_EQ(m_pUpdateUSB->GetPrinterModelName(nullptr, szModel, sizeof(szModel), &cID, nullptr), 0);
    EXPECT_EQ(m_pUpdateUSB->GetPrinterModelName(&device, szModel, 0, &cID, nullptr), 0);
    EXPECT_EQ(m_pUpdateUSB->OfflineGetPrinterModelName(&device, nullptr, sizeof(szModel), &cID, 1), 0);
    EXPECT_EQ(m_pUpdateUSB->OfflineGetPrinterModelName(&device, szModel, sizeof(szModel), nullptr, 1), 0);
    // A device that is not open fails at its first request.
    EXPECT_EQ(m_pUpdateUSB->GetPrinterModelName(&device, szModel, sizeof(szModel), &cID, nullptr), 0);
}

}  // namespace
