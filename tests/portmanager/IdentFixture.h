#pragma once
// The port manager in-process over the substitute host's property tree and the simulated bus,
// logging to an in-process daemon.
//
// Devices are plugged before the port manager starts and each is named by a configured port, so
// the plug-and-play thread treats them as known and never identifies them on its own while a
// test drives identification directly.
#include <gtest/gtest.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "component/PropertyBridge.h"
#include "contract/PortHandler.h"
#include "host/Host.h"
#include "portmanager/UpdateUSB.h"
#include "sim/SimBus.h"
#include "tests/support/PortTestSupport.h"
#include "tests/support/TestData.h"

namespace ident {

inline void Sink(void* hPort, unsigned int ulCode, CData data) { CHost::EventSink(hPort, ulCode, data); }

inline void* Handle(int n) { return reinterpret_cast<void*>(static_cast<intptr_t>(0x200 + n)); }

using testsupport::ToData;

inline std::string String(const CData& data)
{
    return data.IsEmpty() ? std::string() : std::string(reinterpret_cast<const char*>(data.Buffer()), data.Length());
}

class IdentFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        usbsim::resetBus();
        _PORTHANDLERPROPERTY props = CHost::PropertyCallbacks();
        ASSERT_EQ(InitializeServicePropertyCallbacks(&props), 1);
        CUsbIO::SetEventSink(Sink);
    }
    void TearDown() override
    {
        if (m_pUpdateUSB != nullptr)
            m_pUpdateUSB->Release();
        m_pUpdateUSB = nullptr;
        CUsbIO::SetEventSink(nullptr);
        usbsim::resetBus();
    }

    void AddPort(const std::string& strName, const std::string& strDevice)
    {
        m_host.Properties().SetString("/QX/" + strName + "/PortType", "USB");
        m_host.Properties().SetString("/QX/" + strName + "/PortName", strDevice);
    }
    // Plugs a device and names it in a port of its own.
    usbsim::DevicePtr Plug(const usbsim::DeviceConfig& cfg)
    {
        usbsim::DevicePtr pDevice = usbsim::plug(cfg);
        AddPort("Known" + std::to_string(++m_nKnown), pDevice->deviceName());
        return pDevice;
    }
    void Start()
    {
        m_pUpdateUSB = CUpdateUSB::CreateInstance(&g_propertyBridge);
        ASSERT_NE(m_pUpdateUSB, nullptr);
        // The plug-and-play thread empties the boot-mode table when it starts.
        ASSERT_TRUE(m_pUpdateUSB->WaitForFirstEnumeration(20000));
    }

    // Texts and data of the log messages with the given text.
    std::vector<std::vector<unsigned char>> MessageData(const std::string& strText)
    {
        std::vector<std::vector<unsigned char>> vec;
        for (const LogDaemonMessage& msg : m_dir.Daemon().Messages())
            if (msg.kind == 0 && msg.text == strText)
                vec.push_back(msg.data);
        return vec;
    }

    porttest::CTestDirectory m_dir;
    CHost m_host;
    CUpdateUSB* m_pUpdateUSB = nullptr;
    int m_nKnown = 0;
};

}  // namespace ident
