#pragma once
// The fixture of the suites that run on either bus (Substrate.h): the shipped library in the
// substitute host, a log daemon in the process, the bus emptied before and after each case.
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <list>
#include <thread>

#include "contract/PortHandler.h"
#include "host/Host.h"
#include "tests/substrate/Substrate.h"
#include "tests/support/HostEvents.h"
#include "tests/support/TestData.h"
#include "tests/support/WaitUntil.h"
#include "tools/ScopedLogDaemon.h"
#include "tools/qxhost/HotPlugNotifier.h"

namespace substrate_test {

using testsupport::WaitUntil;
using usbsim::Bytes;
using usbsim::Channel;
using usbsim::DeviceConfig;
using usbsim::DevicePtr;

using testsupport::Concat;
using testsupport::Pattern;
using testsupport::Text;
using testsupport::ToData;
using testsupport::Word;

class UsbEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        ASSERT_TRUE(substrate::Ready(&why)) << substrate::Name() << ": " << why;
        ASSERT_TRUE(m_log.Ok()) << m_log.Error();
        substrate::Reset();
    }
    void TearDown() override {
        m_notifier.Stop();
        if (m_host.IsInitialized()) m_host.Unload();
        substrate::Reset();
        if (HasFailure())
            for (const LogDaemonMessage& msg : m_log.Daemon().Messages())
                printf("  log: %s\n", CLogDaemon::FormatLine(msg).c_str());
    }

    CPropertyTree& Tree() { return m_host.Properties(); }
    void ConfigurePort(const std::string& strName, const std::string& strDevice, const std::string& strModel = "",
                       bool bDisplay = false) {
        Tree().SetString("/QX/" + strName + "/PortType", "USB");
        if (!strDevice.empty()) Tree().SetString("/QX/" + strName + "/PortName", strDevice);
        if (!strModel.empty()) Tree().SetString("/QX/" + strName + "/ModelName", strModel);
        if (bDisplay) Tree().SetString("/JV/" + strName + "/PortType", "USB");
    }
    // Loads the component and checks that it runs on this substrate's libusb.
    void Load() {
        ASSERT_TRUE(m_host.Load(TALIUN_LIBRARY)) << m_host.LastError();
        const std::string strLibusb = substrate::LoadedLibusb();
        ASSERT_TRUE(substrate::IsExpectedLibusb(strLibusb)) << "libusb in use: '" << strLibusb << "'";
        ASSERT_EQ(m_host.Initialize(), 1);
    }
    void* OpenOk(const std::string& strPath) {
        void* h = m_host.NewHandle();
        EXPECT_EQ(m_host.Open(h, strPath), PHR_SUCCESS) << strPath;
        return h;
    }
    std::string PortProperty(const std::string& strPort, const std::string& strName) {
        std::string s;
        return Tree().GetString("/QX/" + strPort + "/" + strName, &s) ? s : std::string("<unset>");
    }
    unsigned int PortNumber(const std::string& strPort, const std::string& strName) {
        unsigned int ul = 0xDEADBEEFu;
        Tree().GetNumber("/QX/" + strPort + "/" + strName, &ul);
        return ul;
    }
    // The one port that names the device, once there is one; else "".
    std::string WaitForPortOf(const std::string& strDevice) {
        std::string strPort;
        WaitUntil([&] {
            std::list<std::string> ports;
            Tree().GetChildren("/QX/", ports);
            std::vector<std::string> naming;
            for (const std::string& p : ports)
                if (PortProperty(p, "PortName") == strDevice) naming.push_back(p);
            strPort = naming.size() == 1 ? naming[0] : std::string();
            return !strPort.empty();
        });
        return strPort;
    }
    std::vector<int> PowerStates(void* h) const { return testsupport::PowerStates(m_host, h); }
    bool WaitForPower(void* h, int nState) {
        return WaitUntil([&] {
            const std::vector<int> vec = PowerStates(h);
            return !vec.empty() && vec.back() == nState;
        });
    }
    bool WaitForUnavailableThenReady(void* h, size_t ulFrom) {
        return WaitUntil([&] {
            const std::vector<int> vec = PowerStates(h);
            if (vec.size() <= ulFrom) return false;
            auto it = std::find(vec.begin() + static_cast<long>(ulFrom), vec.end(), PH_POWER_UNAVAILABLE);
            return it != vec.end() && std::find(it, vec.end(), PH_POWER_READY) != vec.end();
        });
    }
    bool WriteWhenReady(void* h, const std::string& strData) {
        return WaitUntil([&] {
            unsigned int ulWritten = 0;
            return m_host.Write(h, ToData(strData), &ulWritten) == PHR_SUCCESS && ulWritten == strData.size();
        });
    }
    void WriteAll(void* h, const Bytes& data) {
        unsigned int ulWritten = 0;
        EXPECT_EQ(m_host.Write(h, ToData(data), &ulWritten), PHR_SUCCESS);
        EXPECT_EQ(ulWritten, data.size());
    }
    // A configured port bound to a fresh device, loaded and opened.
    void* OpenedPort(const DeviceConfig& cfg, DevicePtr* pDevice, bool bDisplay = false) {
        *pDevice = substrate::Plug(cfg);
        EXPECT_TRUE(*pDevice);
        if (!*pDevice) return nullptr;
        ConfigurePort("P1", (*pDevice)->deviceName(), "", bDisplay);
        Load();
        void* h = OpenOk("QX/P1");
        EXPECT_TRUE(WaitForPower(h, PH_POWER_READY));
        return h;
    }

    CScopedLogDaemon m_log;
    CHost m_host;
    CHotPlugNotifier m_notifier;
};

}  // namespace substrate_test
