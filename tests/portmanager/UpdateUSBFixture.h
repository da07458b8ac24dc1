#pragma once
// CUpdateUSB in-process, over the substitute host's property tree and the simulated bus: a port
// manager started on three configured ports, with its records reachable by name.
#include <gtest/gtest.h>
#include <stdint.h>

#include <string>

#include "component/PropertyBridge.h"
#include "contract/PortHandler.h"
#include "host/Host.h"
#include "portmanager/UpdateUSB.h"
#include "sim/SimBus.h"
#include "tests/support/PortTestSupport.h"

namespace updateusbtest {

using namespace porttest;

inline void Sink(void* hPort, unsigned int ulCode, CData data) {
    CHost::EventSink(hPort, ulCode, data);
}

inline void* Handle(int n) { return reinterpret_cast<void*>(static_cast<intptr_t>(0x100 + n)); }

class UpdateUSBFixture : public ::testing::Test {
protected:
    void SetUp() override {
        usbsim::resetBus();
        CPropertyTree& tree = m_host.Properties();
        AddPort("P1", "USB#VID_0XFFFF##PID_0X202NOTHERE");
        tree.SetNumber("/QX/P1/OfflineTimeout", 10);
        tree.SetNumber("/QX/P1/StatusPto", 20);
        tree.SetNumber("/QX/P1/DeviceID", 300);
        tree.SetString("/QX/P1/ModelName", "QX-K40V");
        tree.SetString("/QX/P1/Id.ModelName", "QX-K40V II");
        tree.SetString("/JV/P1/PortType", "USB");
        tree.SetNumber("/JV/P1/StatusPto", 500);
        tree.SetString("/QX/P2/PortType", "USB");
        tree.SetString("/QX/P3/PortType", "usb");
        _PORTHANDLERPROPERTY props = CHost::PropertyCallbacks();
        ASSERT_EQ(InitializeServicePropertyCallbacks(&props), 1);
        CUsbIO::SetEventSink(Sink);
    }
    void TearDown() override {
        if (m_pUpdateUSB != nullptr) m_pUpdateUSB->Release();
        CUsbIO::SetEventSink(nullptr);
        usbsim::resetBus();
    }
    void AddPort(const std::string& strName, const std::string& strDevice) {
        m_host.Properties().SetString("/QX/" + strName + "/PortType", "USB");
        m_host.Properties().SetString("/QX/" + strName + "/PortName", strDevice);
    }
    void Start() {
        m_pUpdateUSB = CUpdateUSB::CreateInstance(&g_propertyBridge);
        ASSERT_NE(m_pUpdateUSB, nullptr);
    }
    _UXD_PORT Port(const std::string& strName) {
        _UXD_PORT port;
        EXPECT_TRUE(m_pUpdateUSB->GetConfigPort(strName, &port)) << strName;
        return port;
    }

    CTestDirectory m_dir;
    CHost m_host;
    CUpdateUSB* m_pUpdateUSB = nullptr;
};

}  // namespace updateusbtest
