#pragma once
#include <string>

#include "tools/LogDaemon.h"

// A log daemon for one test: a fresh temporary folder, TALIUN_LOG_SOCKET pointing at a socket in
// it, and the daemon listening there. The destructor stops the daemon, restores the variable and
// removes the folder.
class CScopedLogDaemon {
public:
    // Starts the daemon unless bStart is false (the socket path is set either way).
    explicit CScopedLogDaemon(bool bStart = true);
    ~CScopedLogDaemon();
    CScopedLogDaemon(const CScopedLogDaemon&) = delete;
    CScopedLogDaemon& operator=(const CScopedLogDaemon&) = delete;

    // True when the folder was made and, if asked for, the daemon started.
    bool Ok() const { return m_bOk; }
    const std::string& Error() const { return m_error; }
    const std::string& Folder() const { return m_folder; }
    CLogDaemon& Daemon() { return *m_pDaemon; }
    CLogDaemon* operator->() { return m_pDaemon.get(); }

    // Takes the daemon away (messages are then lost) and brings it back on the same socket.
    void StopDaemon();
    bool StartDaemon();

private:
    bool m_bOk = false;
    std::string m_error;
    std::string m_folder;
    bool m_bHadPrevious = false;
    std::string m_previous;
    std::unique_ptr<CLogDaemon> m_pDaemon;
};
