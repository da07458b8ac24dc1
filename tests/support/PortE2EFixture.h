#pragma once
// The shipped library loaded by the substitute host, on the simulated bus, logging to an
// in-process daemon: the fixture of the end-to-end port suites.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "contract/PortHandler.h"
#include "host/Host.h"
#include "sim/SimBus.h"
#include "tests/support/PortTestSupport.h"

#ifndef TALIUN_LIBRARY
#error "TALIUN_LIBRARY must name the built libTaliunqxusb.so"
#endif

namespace porttest {

class PortE2EFixture : public ::testing::Test {
protected:
    void SetUp() override { usbsim::resetBus(); }
    void TearDown() override
    {
        if (m_host.IsInitialized())
            m_host.Unload();
        usbsim::resetBus();
    }

    // A QX port named strName bound to the device (or to a device name that is not attached).
    void ConfigurePort(const std::string& strName, const std::string& strDevice, bool bDisplay = false)
    {
        CPropertyTree& tree = m_host.Properties();
        tree.SetString("/QX/" + strName + "/PortType", "USB");
        tree.SetString("/QX/" + strName + "/PortName", strDevice);
        if (bDisplay)
            tree.SetString("/JV/" + strName + "/PortType", "USB");
    }
    usbsim::DevicePtr PlugAndConfigure(const std::string& strName, const usbsim::DeviceConfig& cfg,
                                       bool bDisplay = false)
    {
        usbsim::DevicePtr pDevice = usbsim::plug(cfg);
        ConfigurePort(strName, pDevice->deviceName(), bDisplay);
        return pDevice;
    }
    // The device name a configuration would get, without leaving the device attached; for tests
    // that plug their device only after the start-up enumeration.
    static std::string NameOf(const usbsim::DeviceConfig& cfg)
    {
        usbsim::DevicePtr pDevice = usbsim::plug(cfg);
        const std::string strName = pDevice->deviceName();
        usbsim::unplug(pDevice);
        return strName;
    }
    // Starts the component with the port configured and plugs its device only after the start-up
    // enumeration has looked at the bus, so that it does not handle the device while the test
    // releases and takes it back. A configured decoy device shows when that pass has run.
    usbsim::DevicePtr LoadThenPlug(const std::string& strName, const usbsim::DeviceConfig& cfg)
    {
        ConfigurePort(strName, NameOf(cfg));
        usbsim::DevicePtr pDecoy = PlugAndConfigure("DECOY", usbsim::DeviceConfig::vendorPrinter("DECOY"));
        Load();
        EXPECT_TRUE(WasEnumerated(pDecoy));
        return usbsim::plug(cfg);
    }
    void Load()
    {
        ASSERT_TRUE(m_host.Load(TALIUN_LIBRARY)) << m_host.LastError();
        ASSERT_EQ(m_host.Initialize(), 1);
    }
    void* OpenOk(const std::string& strPath)
    {
        void* h = m_host.NewHandle();
        EXPECT_EQ(m_host.Open(h, strPath), PHR_SUCCESS) << strPath;
        return h;
    }

    std::vector<int> PowerStates(void* h) const
    {
        std::vector<int> vec;
        for (const HOST_EVENT& e : m_host.Events(h))
            if (e.ulCode == PH_EVENT_POWER_STATE) {
                int n = -100;
                if (e.vecData.size() == 4)
                    memcpy(&n, e.vecData.data(), 4);
                vec.push_back(n);
            }
        return vec;
    }
    bool WaitForPowerStates(void* h, size_t ulCount, unsigned int ulTimeoutMs = 10000) const
    {
        return WaitUntil([&] { return PowerStates(h).size() >= ulCount; }, ulTimeoutMs);
    }
    std::vector<std::vector<unsigned char>> Inputs(void* h) const
    {
        std::vector<std::vector<unsigned char>> vec;
        for (const HOST_EVENT& e : m_host.Events(h))
            if (e.ulCode == PH_EVENT_INPUT_DATA)
                vec.push_back(e.vecData);
        return vec;
    }
    int PowerState(void* h)
    {
        CData out;
        EXPECT_EQ(m_host.Ioctl(h, PH_USB_GET_POWER_STATE, CData(), &out), PHR_SUCCESS);
        int n = -100;
        if (out.Length() == 4)
            memcpy(&n, out.Buffer(), 4);
        return n;
    }
    // Wakes the port's monitoring thread (fast intervals) and waits until the device has answered
    // `n` more status requests, so that every report due before has been made.
    void RunStatusCycles(void* h, const usbsim::DevicePtr& pDevice, int n, uint8_t ucRequest = 1)
    {
        pDevice->clearRecords();
        ASSERT_EQ(m_host.Ioctl(h, PH_LOCK_PORT, Word(1), nullptr), PHR_SUCCESS);
        ASSERT_TRUE(pDevice->waitUntil([&](const std::vector<usbsim::Record>& rs) {
            int c = 0;
            for (const auto& r : rs)
                c += r.isVendor(ucRequest) && (r.bmRequestType & 0x80) != 0 ? 1 : 0;
            return c >= n;
        }));
    }
    std::string IoctlLine(void* h, unsigned int ulCode, unsigned int ulResult) const
    {
        char sz[96];
        snprintf(sz, sizeof(sz), "-- IoCtl(%s, %08X) <%08X>", HandleText(h).c_str(), ulCode, ulResult);
        return sz;
    }

    CTestDirectory m_dir;
    CHost m_host;
};

}  // namespace porttest
