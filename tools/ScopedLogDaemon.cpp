#include "tools/ScopedLogDaemon.h"

#include <stdlib.h>

#include <filesystem>

CScopedLogDaemon::CScopedLogDaemon(bool bStart) {
    const char* previous = getenv("TALIUN_LOG_SOCKET");
    if (previous != nullptr) {
        m_bHadPrevious = true;
        m_previous = previous;
    }
    const char* tmp = getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/taliunlog.XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
        m_error = "mkdtemp failed for " + pattern;
        m_pDaemon.reset(new CLogDaemon(std::string()));
        return;
    }
    m_folder = pattern;
    std::string socketPath = m_folder + "/taliunlogd.socket";
    setenv("TALIUN_LOG_SOCKET", socketPath.c_str(), 1);
    m_pDaemon.reset(new CLogDaemon(socketPath));
    m_bOk = !bStart || m_pDaemon->Start(&m_error);
}

CScopedLogDaemon::~CScopedLogDaemon() {
    m_pDaemon->Stop();
    if (m_bHadPrevious) {
        setenv("TALIUN_LOG_SOCKET", m_previous.c_str(), 1);
    } else {
        unsetenv("TALIUN_LOG_SOCKET");
    }
    if (!m_folder.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
    }
}

void CScopedLogDaemon::StopDaemon() { m_pDaemon->Stop(); }

bool CScopedLogDaemon::StartDaemon() { return m_pDaemon->Start(&m_error); }
