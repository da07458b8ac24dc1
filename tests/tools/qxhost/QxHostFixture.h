#pragma once
// A simulated bus in a configuration file (a receipt printer and a four-endpoint printer with a
// customer display), a property tree file with a port for each, and qxhost run against them in a
// fresh temporary folder that holds every file the program and the component touch.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/Files.h"
#include "tests/support/QxHostProcess.h"
#include "tools/qxhost/UsbBus.h"

#ifndef QXHOST_PATH
#error "QXHOST_PATH must name the built qxhost"
#endif

using testsupport::ReadFile;

class QxHostFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* pszTmp = std::getenv("TMPDIR");
        std::string strTemplate = std::string(pszTmp != nullptr && pszTmp[0] != '\0' ? pszTmp : "/tmp") + "/qxhost-XXXXXX";
        ASSERT_NE(mkdtemp(&strTemplate[0]), nullptr);
        m_strDir = strTemplate;
        m_devices = {
            {"receipt",
             {{"kind", "qx"}, {"serial", "R0001"}, {"product_name", "Receipt Printer"}, {"model", "QX-K40V"}}},
            {"counter",
             {{"kind", "jv"}, {"endpoints", "4"}, {"serial", "D0001"}, {"product_name", "Printer with Display"},
              {"model", "QX-D50"}}},
        };
        WriteBus();
        WriteFile(Properties(), "/QX/Receipt/PortType = \"USB\"\n"
                                "/QX/Receipt/PortName = \"" + ReceiptName() + "\"\n"
                                "/QX/Receipt/ModelName = \"QX-K40V\"\n"
                                "/QX/Counter/PortType = \"USB\"\n"
                                "/QX/Counter/PortName = \"" + CounterName() + "\"\n"
                                "/JV/Counter/PortType = \"USB\"\n");
    }
    void TearDown() override
    {
        if (!m_strDir.empty())
            std::system(("rm -rf '" + m_strDir + "'").c_str());
    }

    static std::string ReceiptName() { return CUsbBus::DeviceName(KORVO_USB_VENDOR_ID, 0x0202, "R0001"); }
    static std::string CounterName() { return CUsbBus::DeviceName(KORVO_USB_VENDOR_ID, 0x0202, "D0001"); }

    std::string Path(const std::string& strName) const { return m_strDir + "/" + strName; }
    std::string Properties() const { return Path("properties"); }
    std::string Spool(const std::string& strDevice, const std::string& strChannel) const
    {
        return ReadFile(Path("spool/" + strDevice + "/" + strChannel + ".out"));
    }

    std::map<std::string, std::string> Environment() const
    {
        return {
            {"LD_LIBRARY_PATH", USBSIM_DIR},
            {"TALIUN_USBSIM_CONFIG", Path("bus.conf")},
            {"QXHOST_PROPERTIES", Properties()},
            {"QXHOST_LIBRARY", TALIUN_LIBRARY_PATH},
            {"TALIUN_LOG_SOCKET", Path("taliunlogd.socket")},
            {"TALIUN_CONFIGURATION", Path("taliun.configuration")},
            {"HOME", m_strDir},
        };
    }
    std::unique_ptr<CQxHostProcess> Process() const
    {
        return std::unique_ptr<CQxHostProcess>(new CQxHostProcess(QXHOST_PATH, Environment()));
    }
    QXHOST_RESULT Run(const std::vector<std::string>& vecArgs, const std::string& strInput = std::string()) const
    {
        return Process()->Run(vecArgs, strInput);
    }

    // Changes one key of a device; the simulator applies the new file at its next look.
    void SetDevice(const std::string& strDevice, const std::string& strKey, const std::string& strValue)
    {
        for (auto& device : m_devices) {
            if (device.first != strDevice)
                continue;
            bool fFound = false;
            for (auto& entry : device.second)
                if (entry.first == strKey) {
                    entry.second = strValue;
                    fFound = true;
                }
            if (!fFound)
                device.second.push_back({strKey, strValue});
        }
        WriteBus();
    }

    // A global setting of the bus (timing, wire_rate, ...).
    void SetBus(const std::string& strKey, const std::string& strValue)
    {
        m_mapBus[strKey] = strValue;
        WriteBus();
    }

    static void WriteFile(const std::string& strPath, const std::string& strText)
    {
        // Replaced in one step, so that a reader never sees half a file.
        const std::string strTemp = strPath + ".new";
        std::ofstream(strTemp, std::ios::binary) << strText;
        std::rename(strTemp.c_str(), strPath.c_str());
    }
    static std::size_t Count(const std::string& strText, const std::string& strPart)
    {
        std::size_t ul = 0;
        for (std::size_t i = strText.find(strPart); i != std::string::npos; i = strText.find(strPart, i + 1))
            ++ul;
        return ul;
    }
    // Lines of an error report: qxhost reports an error in exactly one line.
    static std::size_t Lines(const std::string& strText) { return Count(strText, "\n"); }

    std::string m_strDir;

private:
    void WriteBus()
    {
        std::string str = "spool = " + Path("spool") + "\n";
        for (const auto& entry : m_mapBus)
            str += entry.first + " = " + entry.second + "\n";
        for (const auto& device : m_devices) {
            str += "[device " + device.first + "]\n";
            for (const auto& entry : device.second)
                str += entry.first + " = " + entry.second + "\n";
        }
        WriteFile(Path("bus.conf"), str);
    }

    std::map<std::string, std::string> m_mapBus;
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> m_devices;
};
