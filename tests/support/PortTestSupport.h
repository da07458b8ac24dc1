#pragma once
// Shared pieces of the port tests: a private temporary directory with the log daemon on it, and
// waiting helpers over the daemon's messages.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "contract/Data.h"
#include "sim/SimBus.h"
#include "tools/LogDaemon.h"
#include "tests/support/TestData.h"
#include "tests/support/WaitUntil.h"

namespace porttest {

using testsupport::BytesOf;
using testsupport::HandleText;
using testsupport::Pattern;
using testsupport::ToData;
using testsupport::Word;

// A fresh directory with the log daemon listening in it; the component's settings point there.
class CTestDirectory {
public:
    CTestDirectory()
    {
        char szTemplate[] = "/tmp/taliun-port.XXXXXX";
        const char* pszDir = mkdtemp(szTemplate);
        if (pszDir == nullptr)
            ADD_FAILURE() << "mkdtemp failed";
        m_strDir = pszDir != nullptr ? pszDir : "/tmp";
        setenv("TALIUN_LOG_SOCKET", (m_strDir + "/log.sock").c_str(), 1);
        setenv("TALIUN_CONFIGURATION", (m_strDir + "/taliun.configuration").c_str(), 1);
        m_pDaemon.reset(new CLogDaemon(m_strDir + "/log.sock"));
        std::string strError;
        if (!m_pDaemon->Start(&strError))
            ADD_FAILURE() << "log daemon: " << strError;
    }
    ~CTestDirectory()
    {
        m_pDaemon->Stop();
        m_pDaemon.reset();
        const std::string strCommand = "rm -rf '" + m_strDir + "'";
        if (system(strCommand.c_str()) != 0)
            fprintf(stderr, "could not remove %s\n", m_strDir.c_str());
    }
    CLogDaemon& Daemon() { return *m_pDaemon; }
    const std::string& Path() const { return m_strDir; }

    // Texts of every log message received so far, in order.
    std::vector<std::string> Lines() const
    {
        std::vector<std::string> vec;
        for (const LogDaemonMessage& msg : m_pDaemon->Messages())
            if (msg.kind == 0)
                vec.push_back(msg.text);
        return vec;
    }
    bool HasLine(const std::string& strLine) const
    {
        const std::vector<std::string> vec = Lines();
        return std::find(vec.begin(), vec.end(), strLine) != vec.end();
    }
    size_t CountLines(const std::string& strLine) const
    {
        const std::vector<std::string> vec = Lines();
        return static_cast<size_t>(std::count(vec.begin(), vec.end(), strLine));
    }
    // Messages are sent synchronously by the calling thread, but the daemon reads them on its
    // own thread: wait until the line has arrived.
    bool WaitForLine(const std::string& strLine, unsigned int ulTimeoutMs = 10000) const
    {
        return m_pDaemon->WaitFor(
            [&](const std::vector<LogDaemonMessage>& vec) {
                for (const LogDaemonMessage& msg : vec)
                    if (msg.kind == 0 && msg.text == strLine)
                        return true;
                return false;
            },
            ulTimeoutMs);
    }
    // The first message with this text, with its data block.
    bool FindMessage(const std::string& strLine, LogDaemonMessage* pMessage) const
    {
        for (const LogDaemonMessage& msg : m_pDaemon->Messages())
            if (msg.kind == 0 && msg.text == strLine) {
                *pMessage = msg;
                return true;
            }
        return false;
    }

private:
    std::string m_strDir;
    std::unique_ptr<CLogDaemon> m_pDaemon;
};

// The simulator's wire timing for full-speed and high-speed devices.
inline usbsim::Timing FullSpeed()
{
    usbsim::Timing t;
    t.bytesPerSecond = 1216000;
    t.controlLatency = std::chrono::microseconds(1000);
    return t;
}
inline usbsim::Timing HighSpeed()
{
    usbsim::Timing t;
    t.bytesPerSecond = 53248000;
    t.controlLatency = std::chrono::microseconds(125);
    return t;
}

// Whether the device has been asked for a string descriptor: the last step with which the
// start-up enumeration of the plug-and-play thread looks at each device.
inline bool WasEnumerated(const usbsim::DevicePtr& pDevice)
{
    return pDevice->waitFor([](const usbsim::Record& r) {
        return r.type == usbsim::Record::Type::Control && r.bmRequestType == 0x80 && r.bRequest == 6 &&
               (r.wValue >> 8) == 3;
    });
}

using testsupport::WaitUntil;

}  // namespace porttest
