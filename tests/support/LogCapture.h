#pragma once
// Test helper: an in-process log daemon on a socket in a fresh temporary directory, with
// TALIUN_LOG_SOCKET and TALIUN_CONFIGURATION pointing into that directory. Create it before any
// thread that logs is started (the environment is read by the logging calls).

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "log/Log.h"
#include "tools/LogDaemon.h"

class CLogCapture {
public:
    typedef void (*PFN_LOGMSG)(int, const char*, ...);

    // pfnLogMsg sends Settle's marker: the logging client under test. Programs that load the shipped
    // library pass null here and the library's LogMsg to SetLogFunction once it is loaded.
    explicit CLogCapture(PFN_LOGMSG pfnLogMsg = &LogMsg) : m_pfnLogMsg(pfnLogMsg)
    {
        char szTemplate[] = "/tmp/taliun-component-XXXXXX";
        const char* pszDir = mkdtemp(szTemplate);
        EXPECT_NE(pszDir, nullptr);
        m_strDir = pszDir != nullptr ? pszDir : "/tmp";
        setenv("TALIUN_LOG_SOCKET", (m_strDir + "/taliunlogd.socket").c_str(), 1);
        setenv("TALIUN_CONFIGURATION", (m_strDir + "/taliun.configuration").c_str(), 1);
        m_pDaemon.reset(new CLogDaemon(m_strDir + "/taliunlogd.socket"));
        std::string strError;
        EXPECT_TRUE(m_pDaemon->Start(&strError)) << strError;
    }
    ~CLogCapture()
    {
        m_pDaemon->Stop();
        m_pDaemon.reset();
        std::error_code ec;
        std::filesystem::remove_all(m_strDir, ec);
    }
    CLogCapture(const CLogCapture&) = delete;
    CLogCapture& operator=(const CLogCapture&) = delete;

    void SetLogFunction(PFN_LOGMSG pfnLogMsg) { m_pfnLogMsg = pfnLogMsg; }
    CLogDaemon& Daemon() { return *m_pDaemon; }
    const std::string& Dir() const { return m_strDir; }

    // Texts of the log messages (kind 0) received so far at the level.
    std::vector<std::string> Texts(unsigned int ulLevel) const
    {
        std::vector<std::string> vec;
        for (const LogDaemonMessage& msg : m_pDaemon->Messages()) {
            if (msg.kind == 0 && msg.level == ulLevel)
                vec.push_back(msg.text);
        }
        return vec;
    }
    std::size_t Count(unsigned int ulLevel, const std::string& strText) const
    {
        std::size_t n = 0;
        for (const std::string& s : Texts(ulLevel))
            n += s == strText;
        return n;
    }
    // Logs a marker and waits until the daemon has it. Each message is one connection made after the
    // previous one was written and closed, and the daemon accepts and reads connections in order, so
    // everything this thread logged before has arrived too. False on time-out.
    bool Settle()
    {
        if (m_pfnLogMsg == nullptr) {
            ADD_FAILURE() << "no logging function to send the marker with";
            return false;
        }
        const std::string strMarker = "marker " + std::to_string(++m_nMarkers);
        m_pfnLogMsg(0, "%s", strMarker.c_str());
        return m_pDaemon->WaitFor(
            [&](const std::vector<LogDaemonMessage>& msgs) {
                for (const LogDaemonMessage& msg : msgs) {
                    if (msg.kind == 0 && msg.text == strMarker)
                        return true;
                }
                return false;
            },
            20000);
    }

private:
    std::string m_strDir;
    std::unique_ptr<CLogDaemon> m_pDaemon;
    int m_nMarkers = 0;
    PFN_LOGMSG m_pfnLogMsg;
};
