#pragma once
#include <stdint.h>
#include <stdio.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// One request as the daemon received it on one connection.
struct LogDaemonMessage {
    // The header words, in wire order.
    uint32_t seconds = 0;
    uint32_t microseconds = 0;
    uint32_t pid = 0;
    uint32_t tid = 0;
    uint32_t kind = 0;
    uint32_t level = 0;
    uint32_t textLength = 0;
    uint32_t dataLength = 0;
    std::string text;                 // kind 3: the settings string without its NUL
    std::vector<unsigned char> data;  // binary block (kind 0)
    std::vector<unsigned char> raw;   // every byte received on the connection, in order
    bool complete = false;            // everything the header announced arrived
    std::string error;                // why the request was rejected or cut, empty if it wasn't
};

// Stand-in for the platform's log daemon: listens on a Unix-domain socket, records and prints
// every message, and answers the log configuration and settings requests. Every length it reads
// is bounded, so hostile clients cannot make it allocate without limit or stall other clients.
class CLogDaemon {
public:
    // Ways to misbehave on purpose, for tests of the client.
    enum class Fault {
        None,
        CloseOnAccept,      // close every connection at once, reading nothing
        CloseAfterBytes,    // close a connection after reading FaultBytes() bytes
        CloseBeforeNul,     // answer kinds 1 and 2 without the terminating NUL, then close
        CloseBeforeStatus,  // read a kind-3 request completely, then close without the status
    };

    static constexpr uint32_t kMaxText = 64 * 1024;         // text and settings strings
    static constexpr uint32_t kMaxData = 64 * 1024 * 1024;  // binary block
    static constexpr unsigned kMaxConnections = 128;
    static constexpr unsigned kIdleTimeoutMs = 10000;  // a silent connection is closed
    static constexpr size_t kHexDumpBytes = 64;        // data bytes shown per line

    explicit CLogDaemon(std::string socketPath);
    ~CLogDaemon();
    CLogDaemon(const CLogDaemon&) = delete;
    CLogDaemon& operator=(const CLogDaemon&) = delete;

    // Binds, listens and starts the serving thread. Refuses a path that exists and is not a
    // socket, or a socket on which another daemon answers; a stale socket file is replaced.
    // On failure returns false with the reason in *pError.
    bool Start(std::string* pError = nullptr);
    // Stops serving, closes every connection and removes the socket file. Idempotent.
    void Stop();
    bool IsRunning() const;
    const std::string& SocketPath() const { return m_socketPath; }

    // Where readable lines go: a stream (null: none), and a file appended to (empty: none).
    void SetEcho(FILE* pEcho);
    // Echo lines that begin with their syslog priority ("<3>..."), as the systemd journal reads
    // them from a service's output, so that journalctl can filter by priority. Files are
    // unaffected.
    void SetEchoPriorities(bool bOn);
    bool SetOutputFile(const std::string& path, std::string* pError = nullptr);
    // Whether received requests are kept for Messages() (on by default; benchmarks turn it off).
    void SetRecording(bool bRecord);

    void SetFault(Fault fault, size_t faultBytes = 0);
    void SetConfig(std::string config);
    void SetSettings(std::string settings);
    std::string Settings() const;
    // The status word answered to a valid kind-3 request (0 unless set).
    void SetStatusReply(int32_t status);

    // Snapshot of everything recorded so far (requests of every kind, complete or not).
    std::vector<LogDaemonMessage> Messages() const;
    size_t MessageCount() const;
    // Connections accepted and closed so far.
    size_t ClosedConnections() const;
    void Clear();

    // Waits until pred(messages) holds or the time-out passes; returns the last outcome of pred.
    bool WaitFor(const std::function<bool(const std::vector<LogDaemonMessage>&)>& pred,
                 unsigned timeoutMs = 10000) const;
    bool WaitForMessages(size_t count, unsigned timeoutMs = 10000) const;
    bool WaitForClosedConnections(size_t count, unsigned timeoutMs = 10000) const;
    // Waits for a complete log message (kind 0) whose text is exactly text; copies it to *pOut.
    bool WaitForText(const std::string& text, LogDaemonMessage* pOut = nullptr,
                     unsigned timeoutMs = 10000) const;

    // One readable line for a message: local time, pid, tid, level, text with control characters
    // escaped, and a hex dump of at most kHexDumpBytes data bytes. No line end.
    static std::string FormatLine(const LogDaemonMessage& msg);
    // The syslog priority of a message: alert for alerts (level 999), error for failures and
    // notices (level 0), warning for a refused or cut request, info for the version line (level 4),
    // debug for the call trace and anything else.
    static int JournalPriority(const LogDaemonMessage& msg);

private:
    struct Impl;
    void Serve();

    std::string m_socketPath;
    std::unique_ptr<Impl> m_pImpl;
    std::thread m_thread;
};
