// The boot-mode table: keys reported by devices in boot mode, claims by open ports, either order,
// and what closing a claiming port does to its record.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/portmanager/IdentFixture.h"

using namespace ident;

namespace {

const char kGone1[] = "USB#VID_0XFFFF##PID_0X202GONE1";
const char kGone2[] = "USB#VID_0XFFFF##PID_0X202GONE2";
const char kGone3[] = "USB#VID_0XFFFF##PID_0X202GONE3";
const char kNeverThere[] = "USB#VID_0XFFFF##PID_0X202NEVER";

struct Entry {
    void* hPort;
    std::string strKey;
    std::string strDeviceName;
    int nKind;
    bool operator==(const Entry& o) const
    {
        return hPort == o.hPort && strKey == o.strKey && strDeviceName == o.strDeviceName && nKind == o.nKind;
    }
};

std::ostream& operator<<(std::ostream& os, const Entry& e)
{
    return os << "{" << e.hPort << ", '" << e.strKey << "', '" << e.strDeviceName << "', " << e.nKind << "}";
}

class BootMode : public IdentFixture {
protected:
    void SetUp() override
    {
        IdentFixture::SetUp();
        // Ports whose devices are not attached: open, they report power state 2.
        AddPort("Gone1", kGone1);
        AddPort("Gone2", kGone2);
        AddPort("Gone3", kGone3);
        m_pReady = Plug(usbsim::DeviceConfig::vendorPrinter("READY1"));
        AddPort("Ready", m_pReady->deviceName());
        m_pBoot1 = Plug(usbsim::DeviceConfig::vendorPrinter("BOOT1"));
        m_pBoot2 = Plug(usbsim::DeviceConfig::printerClassDevice("BOOT2"));
        Start();
    }

    // Opens the port and waits until its monitoring thread has determined its power state: a
    // claim must not race the first status check, which drops the binding of a port whose
    // device it found unavailable.
    void* Open(const std::string& strPort, int n)
    {
        void* h = Handle(n);
        EXPECT_EQ(m_pUpdateUSB->OpenPort(h, "QX/" + strPort), PHR_SUCCESS) << strPort;
        EXPECT_TRUE(porttest::WaitUntil([&] { return Power(h) != -1; })) << strPort;
        return h;
    }
    int Power(void* h)
    {
        CData out;
        EXPECT_EQ(m_pUpdateUSB->IoCtl(h, PH_USB_GET_POWER_STATE, CData(), &out), PHR_SUCCESS);
        int n = -100;
        if (out.Length() == 4)
            memcpy(&n, out.Buffer(), 4);
        return n;
    }
    // The monitoring thread of a new port determines the power state shortly after the open.
    bool WaitForPower(void* h, int nPower)
    {
        return porttest::WaitUntil([&] { return Power(h) == nPower; });
    }
    unsigned int Claim(void* h, const std::string& strKey)
    {
        return m_pUpdateUSB->IoCtl(h, PH_USB_UPDATE_BOOT_MODE, ToData(strKey), nullptr);
    }
    // The plug-and-play thread's report of a device that answered in boot mode.
    void Report(const std::string& strKey, const std::string& strDevice, int nKind = USBKIND_QX)
    {
        EXPECT_EQ(m_pUpdateUSB->UpdateBootModeTable(nullptr, ToData(strKey), nKind, strDevice), PHR_SUCCESS);
    }
    std::vector<Entry> Table()
    {
        std::vector<Entry> vec;
        for (const CBootMode& e : m_pUpdateUSB->GetBootModeTable())
            vec.push_back({e.hPort, String(e.dataKey), e.strDeviceName, e.nKind});
        return vec;
    }
    std::string Bound(void* h) { return m_pUpdateUSB->GetUSBDevice(h).GetDeviceName(); }
    std::string AttachLine(void* h, const std::string& strDevice)
    {
        return "-- BOOT MODE Open(" + porttest::HandleText(h) + ") : " + strDevice;
    }

    usbsim::DevicePtr m_pReady;
    usbsim::DevicePtr m_pBoot1;
    usbsim::DevicePtr m_pBoot2;
};

TEST_F(BootMode, ClaimFirstThenDeviceShowsUp)
{
    void* h = Open("Gone1", 1);
    ASSERT_TRUE(WaitForPower(h, 2));
    EXPECT_EQ(Claim(h, "KEY"), PHR_SUCCESS);
    EXPECT_EQ(Table(), (std::vector<Entry>{{h, "KEY", "", 1}}));
    EXPECT_EQ(Bound(h), "");

    // The device reports itself with the kind the enumeration found.
    Report("KEY", m_pBoot2->deviceName(), USBKIND_PRT);
    EXPECT_EQ(Table(), (std::vector<Entry>{{h, "KEY", m_pBoot2->deviceName(), USBKIND_PRT}}));
    EXPECT_EQ(Bound(h), m_pBoot2->deviceName());
    EXPECT_EQ(m_pUpdateUSB->GetUSBDevice(h).GetKind(), USBKIND_PRT);
    EXPECT_TRUE(m_dir.WaitForLine(AttachLine(nullptr, m_pBoot2->deviceName())));

    // The handle is now served by the boot-mode device.
    ASSERT_TRUE(WaitForPower(h, 0));
    const std::vector<unsigned char> data = {'f', 'w'};
    unsigned int ulWritten = 0;
    EXPECT_EQ(m_pUpdateUSB->WriteToPort(h, porttest::ToData(data), &ulWritten), PHR_SUCCESS);
    EXPECT_EQ(ulWritten, 2u);
    EXPECT_TRUE(m_pBoot2->waitForReceived(2));
}

TEST_F(BootMode, DeviceFirstThenClaim)
{
    Report("KEY", m_pBoot1->deviceName());
    EXPECT_EQ(Table(), (std::vector<Entry>{{nullptr, "KEY", m_pBoot1->deviceName(), 1}}));
    void* h = Open("Gone1", 1);
    EXPECT_EQ(Claim(h, "KEY"), PHR_SUCCESS);
    EXPECT_EQ(Table(), (std::vector<Entry>{{h, "KEY", m_pBoot1->deviceName(), 1}}));
    EXPECT_EQ(Bound(h), m_pBoot1->deviceName());
    EXPECT_TRUE(m_dir.WaitForLine(AttachLine(h, m_pBoot1->deviceName())));
}

TEST_F(BootMode, ClaimTakesTheFirstOfTwoReportsOfOneKey)
{
    Report("KEY", m_pBoot1->deviceName());
    Report("KEY", m_pBoot1->deviceName());
    EXPECT_EQ(Table().size(), 2u);
    void* h = Open("Gone1", 1);
    EXPECT_EQ(Claim(h, "KEY"), PHR_SUCCESS);
    EXPECT_EQ(Table(), (std::vector<Entry>{{h, "KEY", m_pBoot1->deviceName(), 1},
                                           {nullptr, "KEY", m_pBoot1->deviceName(), 1}}));
}

TEST_F(BootMode, SecondClaimDoesNotTakeOverAClaimedKey)
{
    Report("KEY", m_pBoot1->deviceName());
    void* h1 = Open("Gone1", 1);
    void* h2 = Open("Gone2", 2);
    EXPECT_EQ(Claim(h1, "KEY"), PHR_SUCCESS);
    EXPECT_EQ(Claim(h2, "KEY"), PHR_SUCCESS);
    EXPECT_EQ(Table(), (std::vector<Entry>{{h1, "KEY", m_pBoot1->deviceName(), 1}, {h2, "KEY", "", 1}}));
    EXPECT_EQ(Bound(h1), m_pBoot1->deviceName());
    EXPECT_EQ(Bound(h2), "");
}

TEST_F(BootMode, ClaimTakesTheHandleOverFromTheDeviceThatServesIt)
{
    Report("KEY", m_pBoot1->deviceName());
    void* h = Open("Ready", 1);
    ASSERT_TRUE(WaitForPower(h, 0));
    EXPECT_EQ(Claim(h, "KEY"), PHR_SUCCESS);
    EXPECT_EQ(Bound(h), m_pBoot1->deviceName());
    EXPECT_TRUE(m_dir.WaitForLine("-- BOOT MODE Open(" + porttest::HandleText(h) + ") : " + m_pReady->deviceName() +
                                  " gives way"));

    unsigned int ulWritten = 0;
    EXPECT_EQ(m_pUpdateUSB->WriteToPort(h, ToData("fw"), &ulWritten), PHR_SUCCESS);
    EXPECT_EQ(ulWritten, 2u);
    EXPECT_TRUE(m_pBoot1->waitForReceived(2));
    const usbsim::Bytes taken = m_pReady->received();
    EXPECT_EQ(std::string(taken.begin(), taken.end()).find("fw"), std::string::npos);
}

TEST_F(BootMode, DeviceIsNotAttachedWhileThePortsPowerStateIsNotUnavailable)
{
    void* h = Open("Ready", 1);
    ASSERT_TRUE(WaitForPower(h, 0));
    EXPECT_EQ(Claim(h, "KEY"), PHR_SUCCESS);
    Report("KEY", m_pBoot1->deviceName());
    EXPECT_EQ(Table(), (std::vector<Entry>{{h, "KEY", "", 1}, {nullptr, "KEY", m_pBoot1->deviceName(), 1}}));
    EXPECT_EQ(Bound(h), m_pReady->deviceName());
}

TEST_F(BootMode, DeviceIsAttachedOnceThePortsOwnDeviceHasGone)
{
    void* h = Open("Ready", 1);
    ASSERT_TRUE(WaitForPower(h, 0));
    EXPECT_EQ(Claim(h, "KEY"), PHR_SUCCESS);
    usbsim::unplug(m_pReady);
    ASSERT_TRUE(WaitForPower(h, 2));
    Report("KEY", m_pBoot1->deviceName());
    EXPECT_EQ(Table(), (std::vector<Entry>{{h, "KEY", m_pBoot1->deviceName(), 1}}));
    EXPECT_EQ(Bound(h), m_pBoot1->deviceName());
    EXPECT_TRUE(WaitForPower(h, 0));
}

TEST_F(BootMode, EmptyKeysMatchEachOther)
{
    Report("", m_pBoot1->deviceName());
    void* h1 = Open("Gone1", 1);
    EXPECT_EQ(Claim(h1, "OTHER"), PHR_SUCCESS);
    EXPECT_EQ(Bound(h1), "");
    void* h2 = Open("Gone2", 2);
    EXPECT_EQ(m_pUpdateUSB->IoCtl(h2, PH_USB_UPDATE_BOOT_MODE, CData(), nullptr), PHR_SUCCESS);
    EXPECT_EQ(Bound(h2), m_pBoot1->deviceName());
    EXPECT_EQ(Table(), (std::vector<Entry>{{h2, "", m_pBoot1->deviceName(), 1}, {h1, "OTHER", "", 1}}));
}

TEST_F(BootMode, KeysAreComparedAsBytes)
{
    const std::string strKey("K\0\xFF", 3);
    Report(strKey, m_pBoot1->deviceName());
    void* h = Open("Gone1", 1);
    EXPECT_EQ(Claim(h, std::string("K\0\xFE", 3)), PHR_SUCCESS);
    EXPECT_EQ(Bound(h), "");
    EXPECT_EQ(Claim(h, std::string("K\0", 2)), PHR_SUCCESS);
    EXPECT_EQ(Bound(h), "");
    EXPECT_EQ(Claim(h, strKey), PHR_SUCCESS);
    EXPECT_EQ(Bound(h), m_pBoot1->deviceName());
}

TEST_F(BootMode, ClaimOfADeviceThatCannotBeOpenedDropsItsRecord)
{
    Report("KEY", kNeverThere);
    void* h = Open("Gone1", 1);
    EXPECT_EQ(Claim(h, "KEY"), PHR_SUCCESS);
    EXPECT_EQ(Table(), (std::vector<Entry>{{h, "KEY", "", 1}}));
    EXPECT_EQ(Bound(h), "");
}

TEST_F(BootMode, ClaimedDeviceThatCannotBeOpenedChangesNothing)
{
    void* h = Open("Gone1", 1);
    ASSERT_TRUE(WaitForPower(h, 2));
    EXPECT_EQ(Claim(h, "KEY"), PHR_SUCCESS);
    Report("KEY", kNeverThere);
    EXPECT_TRUE(m_dir.WaitForLine(std::string("-- BOOT MODE Open(0) failed ") + kNeverThere));
    EXPECT_EQ(Table(), (std::vector<Entry>{{h, "KEY", "", 1}}));
    EXPECT_EQ(Bound(h), "");
}

TEST_F(BootMode, ClosingAnUnavailablePortDeletesItsFirstClaim)
{
    void* h = Open("Gone1", 1);
    EXPECT_EQ(Claim(h, "A"), PHR_SUCCESS);
    EXPECT_EQ(Claim(h, "B"), PHR_SUCCESS);
    ASSERT_TRUE(WaitForPower(h, 2));
    EXPECT_EQ(m_pUpdateUSB->ClosePort(h), PHR_SUCCESS);
    EXPECT_EQ(Table(), (std::vector<Entry>{{h, "B", "", 1}}));
}

TEST_F(BootMode, ClosingAnAvailablePortOnlyUnclaimsItsRecord)
{
    void* h = Open("Ready", 1);
    ASSERT_TRUE(WaitForPower(h, 0));
    EXPECT_EQ(Claim(h, "KEY"), PHR_SUCCESS);
    EXPECT_EQ(m_pUpdateUSB->ClosePort(h), PHR_SUCCESS);
    EXPECT_EQ(Table(), (std::vector<Entry>{{nullptr, "KEY", "", 1}}));
    // The unclaimed record can be claimed again by another port.
    Report("NEXT", m_pBoot1->deviceName());
    void* h2 = Open("Gone2", 2);
    EXPECT_EQ(Claim(h2, "NEXT"), PHR_SUCCESS);
    EXPECT_EQ(Bound(h2), m_pBoot1->deviceName());
}

TEST_F(BootMode, ClaimOnAHandleWithoutOpenPortIsRefused)
{
    EXPECT_EQ(Claim(Handle(9), "KEY"), PHR_INVALID_PARAMETER);
    EXPECT_TRUE(Table().empty());
}

// Claims, reports, opens, closes and the shutdown at once: every path takes the port manager's
// locks in one order, so none of them can wait for another in a circle (the thread sanitizer
// build checks the order itself).
TEST_F(BootMode, ConcurrentClaimsReportsAndShutdown)
{
    void* h1 = Open("Gone1", 1);
    void* h2 = Open("Gone2", 2);
    std::atomic<bool> bStop{false};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        for (int i = 0; i < 40; ++i)
            Report(i % 2 ? "A" : "B", m_pBoot1->deviceName());
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 40; ++i)
            EXPECT_EQ(Claim(i % 2 ? h1 : h2, i % 3 ? "A" : "B"), PHR_SUCCESS);
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 20; ++i) {
            void* h3 = Handle(3);
            EXPECT_EQ(m_pUpdateUSB->OpenPort(h3, "QX/Gone3"), PHR_SUCCESS);
            Claim(h3, "A");
            EXPECT_EQ(m_pUpdateUSB->ClosePort(h3), PHR_SUCCESS);
        }
    });
    threads.emplace_back([&] {
        while (!bStop) {
            m_pUpdateUSB->GetUSBDevice(h1);
            m_pUpdateUSB->GetBootModeTable();
        }
    });
    for (size_t i = 0; i + 1 < threads.size(); ++i)
        threads[i].join();
    bStop = true;
    threads.back().join();
    EXPECT_FALSE(Table().empty());
    m_pUpdateUSB->Release();
    m_pUpdateUSB = nullptr;
}

}  // namespace
