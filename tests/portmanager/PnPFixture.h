#pragma once
// Plug and play end to end: the shipped library loaded by the substitute host, devices on the
// simulated bus, log lines at an in-process daemon. Hot-plug notices are SIGUSR1 to this process,
// sent by the test (Notice) or by the bus on every plug and unplug (SignalOnPlug).
#include <gtest/gtest.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "contract/PortHandler.h"
#include "host/Host.h"
#include "sim/SimBus.h"
#include "tools/ScopedLogDaemon.h"
#include "tests/support/HostEvents.h"
#include "tests/support/TestData.h"
#include "tests/support/WaitUntil.h"

#ifndef TALIUN_LIBRARY
#error "TALIUN_LIBRARY must name the built libTaliunqxusb.so"
#endif

namespace pnptest {

const std::string kPlugLine = "--USB PnP: USB device got plugging in event\n";

using testsupport::HandleText;
using testsupport::Text;
using testsupport::ToData;
using testsupport::Word;

// What a device identified once (online) and then printed to has received.
inline std::string IdentifiedThen(const std::string& strPrinted)
{
    return Text(usbsim::onlineIdentifyRequest()) + strPrinted;
}

using testsupport::WaitUntil;

// How often the device was sent the online (or offline) identification request.
inline size_t IdentifyRequests(const usbsim::DevicePtr& pDevice, bool bOffline = false)
{
    const usbsim::Bytes& request = bOffline ? usbsim::offlineIdentifyRequest() : usbsim::onlineIdentifyRequest();
    size_t n = 0;
    for (const usbsim::Record& r : pDevice->records())
        if (r.type == usbsim::Record::Type::BulkOut && r.data == request)
            ++n;
    return n;
}

class PnPFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_log.Ok()) << m_log.Error();
        usbsim::resetBus();
    }
    void TearDown() override
    {
        if (m_host.IsInitialized())
            m_host.Unload();
        usbsim::resetBus();
        if (HasFailure())
            for (const LogDaemonMessage& msg : m_log.Daemon().Messages())
                printf("  log: %s\n", CLogDaemon::FormatLine(msg).c_str());
    }

    CPropertyTree& Tree() { return m_host.Properties(); }

    // A QX port; an empty device name leaves the port unbound. Negative numbers are not set.
    void ConfigurePort(const std::string& strName, const std::string& strDevice, const std::string& strModel = "",
                       int nDeviceID = -1, bool bDisplay = false)
    {
        Tree().SetString("/QX/" + strName + "/PortType", "USB");
        if (!strDevice.empty())
            Tree().SetString("/QX/" + strName + "/PortName", strDevice);
        if (!strModel.empty())
            Tree().SetString("/QX/" + strName + "/ModelName", strModel);
        if (nDeviceID >= 0)
            Tree().SetNumber("/QX/" + strName + "/DeviceID", static_cast<unsigned int>(nDeviceID));
        if (bDisplay)
            Tree().SetString("/JV/" + strName + "/PortType", "USB");
    }

    void Load()
    {
        ASSERT_TRUE(m_host.Load(TALIUN_LIBRARY)) << m_host.LastError();
        ASSERT_EQ(m_host.Initialize(), 1);
    }

    static void Notice() { ASSERT_TRUE(CHost::SendHotPlugNotice()); }
    // The signal loop starts only once the scan at load is over, so the line of a notice sent now
    // shows that the scan has ended: a test that changes the bus afterwards does not race it.
    bool WaitForStartUpScan()
    {
        Notice();
        return WaitForLine(kPlugLine);
    }
    static void SignalOnPlug() { usbsim::setHotplugSignal(SIGUSR1); }

    void* OpenOk(const std::string& strPath)
    {
        void* h = m_host.NewHandle();
        EXPECT_EQ(m_host.Open(h, strPath), PHR_SUCCESS) << strPath;
        return h;
    }

    std::string PortProperty(const std::string& strPort, const std::string& strName)
    {
        std::string s;
        return Tree().GetString("/QX/" + strPort + "/" + strName, &s) ? s : std::string("<unset>");
    }
    unsigned int PortNumber(const std::string& strPort, const std::string& strName)
    {
        unsigned int ul = 0xDEADBEEFu;
        Tree().GetNumber("/QX/" + strPort + "/" + strName, &ul);
        return ul;
    }
    bool WaitForPortProperty(const std::string& strPort, const std::string& strName, const std::string& strValue)
    {
        return WaitUntil([&] { return PortProperty(strPort, strName) == strValue; });
    }

    std::list<std::string> Ports()
    {
        std::list<std::string> list;
        Tree().GetChildren("/QX/", list);
        return list;
    }
    // The ports whose PortName names the device.
    std::vector<std::string> PortsNaming(const std::string& strDevice)
    {
        std::vector<std::string> vec;
        for (const std::string& strPort : Ports())
            if (PortProperty(strPort, "PortName") == strDevice)
                vec.push_back(strPort);
        return vec;
    }
    // Waits until exactly one port names the device; its name, or empty.
    std::string WaitForPortOf(const std::string& strDevice)
    {
        std::string strPort;
        WaitUntil([&] {
            const std::vector<std::string> vec = PortsNaming(strDevice);
            strPort = vec.size() == 1 ? vec[0] : std::string();
            return !strPort.empty();
        });
        return strPort;
    }

    std::vector<std::string> Lines() const
    {
        std::vector<std::string> vec;
        for (const LogDaemonMessage& msg : m_log.Daemon().Messages())
            if (msg.kind == 0)
                vec.push_back(msg.text);
        return vec;
    }
    size_t CountLines(const std::string& strLine) const
    {
        const std::vector<std::string> vec = Lines();
        return static_cast<size_t>(std::count(vec.begin(), vec.end(), strLine));
    }
    bool WaitForLine(const std::string& strLine, size_t ulCount = 1)
    {
        return m_log.Daemon().WaitFor(
            [&](const std::vector<LogDaemonMessage>& vec) {
                size_t n = 0;
                for (const LogDaemonMessage& msg : vec)
                    n += msg.kind == 0 && msg.text == strLine ? 1 : 0;
                return n >= ulCount;
            },
            20000);
    }
    // Position of the first line with the text, or -1.
    long LineIndex(const std::string& strLine) const
    {
        const std::vector<std::string> vec = Lines();
        auto it = std::find(vec.begin(), vec.end(), strLine);
        return it == vec.end() ? -1 : static_cast<long>(it - vec.begin());
    }

    std::vector<int> PowerStates(void* h) const { return testsupport::PowerStates(m_host, h); }
    // Waits until the power events seen from position ulFrom on contain 2 and, later, 0.
    bool WaitForUnavailableThenReady(void* h, size_t ulFrom)
    {
        return WaitUntil([&] {
            const std::vector<int> vec = PowerStates(h);
            if (vec.size() <= ulFrom)
                return false;
            auto it = std::find(vec.begin() + static_cast<long>(ulFrom), vec.end(), PH_POWER_UNAVAILABLE);
            return it != vec.end() && std::find(it, vec.end(), PH_POWER_READY) != vec.end();
        });
    }

    // Writes until the port takes the bytes (it refuses while its device is away).
    bool WriteWhenReady(void* h, const std::string& strData, unsigned int ulTimeoutMs = 20000)
    {
        return WaitUntil(
            [&] {
                unsigned int ulWritten = 0;
                return m_host.Write(h, ToData(strData), &ulWritten) == PHR_SUCCESS && ulWritten == strData.size();
            },
            ulTimeoutMs);
    }

    mutable CScopedLogDaemon m_log;
    CHost m_host;
};

}  // namespace pnptest
