#pragma once
// Shared fixture of the USB tests: a fresh simulated bus, an in-process log daemon on a
// temporary socket, and the transport's pauses recorded instead of slept.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "log/Log.h"
#include "sim/SimBus.h"
#include "tests/support/TestData.h"
#include "tools/LogDaemon.h"
#include "usb/USBDevice.h"

namespace usbtest {

using testsupport::Pattern;

// The pauses the transport asked for, in order. A test may act on a pause (for example make a
// busy device ready after the third busy-poll pause); the pause itself takes no time.
class SleepLog {
public:
    static void Hook(unsigned int ulMicroseconds) {
        std::function<void(unsigned int, size_t)> onSleep;
        size_t n;
        {
            std::lock_guard<std::mutex> lock(Mutex());
            Sleeps().push_back(ulMicroseconds);
            n = Sleeps().size();
            onSleep = Action();
        }
        if (onSleep) onSleep(ulMicroseconds, n);
        std::this_thread::yield();
    }
    static void Reset() {
        std::lock_guard<std::mutex> lock(Mutex());
        Sleeps().clear();
        Action() = nullptr;
    }
    static std::vector<unsigned int> All() {
        std::lock_guard<std::mutex> lock(Mutex());
        return Sleeps();
    }
    static size_t Count(unsigned int ulMicroseconds) {
        size_t n = 0;
        for (unsigned int s : All()) n += s == ulMicroseconds;
        return n;
    }
    // Called with the pause and the number of pauses so far (this one included).
    static void OnSleep(std::function<void(unsigned int, size_t)> action) {
        std::lock_guard<std::mutex> lock(Mutex());
        Action() = std::move(action);
    }

private:
    static std::mutex& Mutex() {
        static std::mutex m;
        return m;
    }
    static std::vector<unsigned int>& Sleeps() {
        static std::vector<unsigned int> v;
        return v;
    }
    static std::function<void(unsigned int, size_t)>& Action() {
        static std::function<void(unsigned int, size_t)> f;
        return f;
    }
};

class UsbSimTest : public ::testing::Test {
protected:
    void SetUp() override {
        char szTemplate[] = "/tmp/usbtest.XXXXXX";
        ASSERT_NE(mkdtemp(szTemplate), nullptr);
        m_strDir = szTemplate;
        const std::string strSocket = m_strDir + "/taliunlogd.socket";
        setenv("TALIUN_LOG_SOCKET", strSocket.c_str(), 1);
        setenv("TALIUN_CONFIGURATION", (m_strDir + "/taliun.configuration").c_str(), 1);
        m_pDaemon = std::make_unique<CLogDaemon>(strSocket);
        std::string strError;
        ASSERT_TRUE(m_pDaemon->Start(&strError)) << strError;
        usbsim::resetBus();
        SleepLog::Reset();
        USBSetSleepHook(&SleepLog::Hook);
        ASSERT_TRUE(CUSBDevice::zph_usb_lib_init());
    }

    void TearDown() override {
        CUSBDevice::zph_usb_lib_exit();
        usbsim::resetBus();
        USBSetSleepHook(nullptr);
        SleepLog::Reset();
        if (m_pDaemon) m_pDaemon->Stop();
        m_pDaemon.reset();
        std::remove((m_strDir + "/taliunlogd.socket").c_str());
        rmdir(m_strDir.c_str());
    }

    // Log messages (kind 0) received so far, in arrival order.
    std::vector<LogDaemonMessage> LogMessages() const {
        std::vector<LogDaemonMessage> v;
        for (auto& m : m_pDaemon->Messages())
            if (m.kind == 0) v.push_back(m);
        return v;
    }

    bool WaitForLog(const std::string& strText, unsigned int ulLevel = 2) const {
        return m_pDaemon->WaitFor([&](const std::vector<LogDaemonMessage>& msgs) {
            for (auto& m : msgs)
                if (m.kind == 0 && m.level == ulLevel && m.text == strText && m.complete)
                    return true;
            return false;
        });
    }

    // Every text logged before this call: a marker is logged and awaited, so that messages
    // sent earlier by this thread have all arrived.
    std::vector<std::string> LoggedTexts() {
        const std::string strMarker = "marker " + std::to_string(++m_nMarker);
        LogMsg(2, "%s", strMarker.c_str());
        EXPECT_TRUE(WaitForLog(strMarker));
        std::vector<std::string> v;
        for (auto& m : LogMessages()) {
            if (m.text == strMarker) break;
            if (m.text.rfind("marker ", 0) != 0) v.push_back(m.text);
        }
        return v;
    }

    std::string m_strDir;
    std::unique_ptr<CLogDaemon> m_pDaemon;
    int m_nMarker = 0;
};

// Upper-case device name of a device of the maker with the given product ID and serial.
inline std::string NameOf(unsigned int ulProduct, const std::string& strSerial) {
    char sz[64];
    std::snprintf(sz, sizeof(sz), "USB#VID_0X%X##PID_0X%X",
                  static_cast<unsigned int>(KORVO_USB_VENDOR_ID), ulProduct);
    std::string s = sz;
    for (char c : strSerial) s += static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

// One line per record entry, so that request sequences read as a list:
//   "IN 1" / "OUT 17=0"  vendor receive / send (request, wValue)
//   "CLEAR_HALT 01"      standard CLEAR_FEATURE(ENDPOINT_HALT)
//   "GET_DESCRIPTOR 02"  standard request with the descriptor type
//   "CLASS a1/0"         class request (bmRequestType/bRequest)
//   "BULK_OUT 01 4096"   bytes accepted (or the error)
//   "BULK_IN 82 3"       bytes delivered (or the error)
//   "CLAIM" / "RELEASE" / "RESET"
inline std::string Describe(const usbsim::Record& r) {
    char sz[96];
    using T = usbsim::Record::Type;
    switch (r.type) {
        case T::Control:
            if ((r.bmRequestType & 0x60) == 0x40) {
                if (r.bmRequestType & 0x80)
                    std::snprintf(sz, sizeof(sz), "IN %u", r.bRequest);
                else
                    std::snprintf(sz, sizeof(sz), "OUT %u=%u", r.bRequest, r.wValue);
            } else if ((r.bmRequestType & 0x60) == 0x20) {
                std::snprintf(sz, sizeof(sz), "CLASS %02x/%u", r.bmRequestType, r.bRequest);
            } else if (r.bRequest == LIBUSB_REQUEST_CLEAR_FEATURE && r.bmRequestType == 0x02) {
                std::snprintf(sz, sizeof(sz), "CLEAR_HALT %02x", r.wIndex);
            } else if (r.bRequest == LIBUSB_REQUEST_SET_FEATURE && r.bmRequestType == 0x02) {
                std::snprintf(sz, sizeof(sz), "SET_HALT %02x", r.wIndex);
            } else if (r.bRequest == LIBUSB_REQUEST_SET_INTERFACE && r.bmRequestType == 0x01) {
                std::snprintf(sz, sizeof(sz), "SET_INTERFACE %u", r.wValue);
            } else if (r.bRequest == LIBUSB_REQUEST_GET_DESCRIPTOR) {
                std::snprintf(sz, sizeof(sz), "GET_DESCRIPTOR %02x", r.wValue >> 8);
            } else {
                std::snprintf(sz, sizeof(sz), "STD %02x/%u", r.bmRequestType, r.bRequest);
            }
            return sz;
        case T::BulkOut:
            std::snprintf(sz, sizeof(sz), "BULK_OUT %02x %d", r.endpoint,
                          r.result < 0 ? r.result : static_cast<int>(r.data.size()));
            return sz;
        case T::BulkIn:
            std::snprintf(sz, sizeof(sz), "BULK_IN %02x %d", r.endpoint,
                          r.result < 0 ? r.result : static_cast<int>(r.data.size()));
            return sz;
        case T::Claim:
            return "CLAIM";
        case T::Release:
            return "RELEASE";
        case T::Reset:
            return "RESET";
    }
    return "?";
}

inline std::vector<std::string> Trace(const usbsim::DevicePtr& dev) {
    std::vector<std::string> v;
    for (auto& r : dev->records()) v.push_back(Describe(r));
    return v;
}

// The trace without the standard descriptor requests of enumeration and open, and without the
// alternate-setting reset that the bus itself makes when an interface is released.
inline std::vector<std::string> ProtocolTrace(const usbsim::DevicePtr& dev) {
    std::vector<std::string> v;
    for (auto& r : Trace(dev))
        if (r.rfind("GET_DESCRIPTOR", 0) != 0 && r.rfind("SET_INTERFACE", 0) != 0) v.push_back(r);
    return v;
}

inline size_t CountOf(const std::vector<std::string>& v, const std::string& s) {
    size_t n = 0;
    for (auto& x : v) n += x == s;
    return n;
}

// Opens the device into a context through the transport.
inline unsigned int OpenInto(const usbsim::DevicePtr& dev, _USBQX& ctx) {
    return CUSBDevice::zph_usb_open(dev->deviceName(), &ctx);
}

}  // namespace usbtest
