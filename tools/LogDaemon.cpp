#include "tools/LogDaemon.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <list>

namespace {

constexpr size_t kHeaderBytes = 32;
// Announced bodies of all connections in progress together; a request that would exceed it is
// refused, so many hostile connections cannot add up to an unbounded allocation.
constexpr size_t kMaxBuffered = 128 * 1024 * 1024;
constexpr size_t kReadChunk = 64 * 1024;

uint64_t NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec / 1000000);
}

uint32_t Word(const unsigned char* p, size_t index) {
    uint32_t w;
    memcpy(&w, p + index * 4, sizeof(w));
    return w;
}

bool FillAddress(const std::string& path, sockaddr_un* pAddr, std::string* pError) {
    memset(pAddr, 0, sizeof(*pAddr));
    pAddr->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(pAddr->sun_path)) {
        if (pError) *pError = "socket path is empty or too long: " + path;
        return false;
    }
    memcpy(pAddr->sun_path, path.data(), path.size());
    return true;
}

void AppendEscaped(std::string* pOut, const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    for (unsigned char c : text) {
        if (c == '\\') {
            *pOut += "\\\\";
        } else if (c == '\n') {
            *pOut += "\\n";
        } else if (c == '\r') {
            *pOut += "\\r";
        } else if (c == '\t') {
            *pOut += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            // Control bytes from a client never reach a terminal raw.
            *pOut += "\\x";
            *pOut += kHex[c >> 4];
            *pOut += kHex[c & 15];
        } else {
            *pOut += static_cast<char>(c);
        }
    }
}

}  // namespace

struct CLogDaemon::Impl {
    struct Connection {
        int fd = -1;
        uint64_t lastActivityMs = 0;
        LogDaemonMessage msg;
        bool headerDone = false;
        size_t expected = kHeaderBytes;  // bytes of the whole request, header included
        size_t budget = 0;               // share of kMaxBuffered held by this connection
        std::string reply;
        size_t replySent = 0;
        bool closeAfterReply = false;
        bool recorded = false;
    };

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    // Guarded by mutex.
    std::vector<LogDaemonMessage> messages;
    size_t messageCount = 0;
    size_t closedCount = 0;
    bool recording = true;
    Fault fault = Fault::None;
    size_t faultBytes = 0;
    std::string config;
    std::string settings;
    int32_t statusReply = 0;
    FILE* echo = nullptr;
    bool echoPriorities = false;
    FILE* output = nullptr;
    bool running = false;

    // Owned by the serving thread while it runs.
    int listenFd = -1;
    int wakeRead = -1;
    int wakeWrite = -1;
    std::list<Connection> connections;
    size_t buffered = 0;

    void Emit(const std::string& line, int priority) {
        std::lock_guard<std::mutex> lock(mutex);
        for (FILE* f : {echo, output}) {
            if (f == nullptr) continue;
            if (f == echo && echoPriorities) fprintf(f, "<%d>", priority);
            fputs(line.c_str(), f);
            fputc('\n', f);
            fflush(f);
        }
    }

    void Record(LogDaemonMessage&& msg) {
        if (msg.kind == 0 || !msg.error.empty()) {
            std::string line = FormatLine(msg);
            if (!msg.error.empty()) line += " [" + msg.error + "]";
            Emit(line, JournalPriority(msg));
        }
        std::lock_guard<std::mutex> lock(mutex);
        ++messageCount;
        if (recording) messages.push_back(std::move(msg));
        changed.notify_all();
    }

    void CloseConnection(std::list<Connection>::iterator it, const char* why) {
        Connection& c = *it;
        // A request cut short is still recorded: tests look at what did arrive.
        if (!c.recorded && !c.msg.raw.empty() && why != nullptr) {
            c.msg.error = why;
            Record(std::move(c.msg));
        }
        close(c.fd);
        buffered -= c.budget;
        connections.erase(it);
        std::lock_guard<std::mutex> lock(mutex);
        ++closedCount;
        changed.notify_all();
    }

    // Validates the header; returns an error text, or null when the request is acceptable.
    const char* ParseHeader(Connection& c) {
        const unsigned char* p = c.msg.raw.data();
        LogDaemonMessage& m = c.msg;
        m.seconds = Word(p, 0);
        m.microseconds = Word(p, 1);
        m.pid = Word(p, 2);
        m.tid = Word(p, 3);
        m.kind = Word(p, 4);
        m.level = Word(p, 5);
        m.textLength = Word(p, 6);
        m.dataLength = Word(p, 7);
        size_t body = 0;
        switch (m.kind) {
            case 0:
                if (m.textLength > kMaxText) return "text length out of range";
                if (m.dataLength > kMaxData) return "data length out of range";
                body = size_t{m.textLength} + m.dataLength;
                break;
            case 1:
            case 2:
                if (m.textLength != 0 || m.dataLength != 0) return "request with a body";
                break;
            case 3:
                if (m.textLength > kMaxText) return "settings length out of range";
                if (m.dataLength != 0) return "settings request with data";
                body = size_t{m.textLength} + 1;
                break;
            default:
                return "unknown request kind";
        }
        if (buffered + body > kMaxBuffered) return "daemon busy";
        c.budget = body;
        buffered += body;
        c.expected = kHeaderBytes + body;
        c.headerDone = true;
        return nullptr;
    }

    // The request is complete: record it and prepare the reply. Returns false to close at once.
    bool Complete(Connection& c) {
        LogDaemonMessage& m = c.msg;
        const unsigned char* body = m.raw.data() + kHeaderBytes;
        m.complete = true;
        c.recorded = true;
        Fault f;
        {
            std::lock_guard<std::mutex> lock(mutex);
            f = fault;
            if (m.kind == 1) c.reply = config;
            if (m.kind == 2) c.reply = settings;
        }
        switch (m.kind) {
            case 0:
                m.text.assign(reinterpret_cast<const char*>(body), m.textLength);
                m.data.assign(body + m.textLength, body + m.textLength + m.dataLength);
                Record(std::move(m));
                return false;
            case 1:
            case 2:
                if (f != Fault::CloseBeforeNul) c.reply.push_back('\0');
                break;
            case 3: {
                m.text.assign(reinterpret_cast<const char*>(body), m.textLength);
                int32_t status;
                if (body[m.textLength] != '\0' || m.text.find('\0') != std::string::npos) {
                    m.error = "settings not a terminated string";
                    status = EINVAL;
                } else {
                    std::lock_guard<std::mutex> lock(mutex);
                    settings = m.text;
                    status = statusReply;
                }
                if (f == Fault::CloseBeforeStatus) {
                    Record(std::move(m));
                    return false;
                }
                c.reply.assign(reinterpret_cast<const char*>(&status), sizeof(status));
                break;
            }
        }
        Record(std::move(m));
        c.closeAfterReply = true;
        return SendReply(c);
    }

    // Returns false when the connection is done (reply sent or peer gone).
    bool SendReply(Connection& c) {
        while (c.replySent < c.reply.size()) {
            ssize_t n = send(c.fd, c.reply.data() + c.replySent, c.reply.size() - c.replySent,
                             MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) continue;
                return errno == EAGAIN || errno == EWOULDBLOCK;
            }
            c.replySent += static_cast<size_t>(n);
        }
        return false;
    }

    // Reads what is available; returns false when the connection is to be closed, with the
    // reason (null: closed normally) in *pWhy.
    bool ReadSome(Connection& c, const char** pWhy) {
        *pWhy = nullptr;
        size_t limit;
        {
            std::lock_guard<std::mutex> lock(mutex);
            limit = fault == Fault::CloseAfterBytes ? faultBytes : SIZE_MAX;
        }
        for (;;) {
            size_t have = c.msg.raw.size();
            if (have >= limit) {
                *pWhy = "closed by the daemon on purpose";
                return false;
            }
            size_t want = std::min({c.expected - have, kReadChunk, limit - have});
            c.msg.raw.resize(have + want);
            ssize_t n = read(c.fd, c.msg.raw.data() + have, want);
            if (n <= 0) {
                c.msg.raw.resize(have);
                if (n < 0 && (errno == EINTR)) continue;
                if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
                if (have > 0) *pWhy = "connection closed before the request was complete";
                return false;
            }
            c.msg.raw.resize(have + static_cast<size_t>(n));
            if (c.msg.raw.size() < c.expected) continue;
            if (!c.headerDone) {
                if (const char* why = ParseHeader(c)) {
                    *pWhy = why;
                    return false;
                }
                if (c.msg.raw.size() < c.expected) continue;
            }
            return Complete(c);
        }
    }

    void Accept() {
        for (;;) {
            int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) return;
            bool closeNow;
            {
                std::lock_guard<std::mutex> lock(mutex);
                closeNow = fault == Fault::CloseOnAccept;
            }
            if (closeNow || connections.size() >= kMaxConnections) {
                close(fd);
                std::lock_guard<std::mutex> lock(mutex);
                ++closedCount;
                changed.notify_all();
                continue;
            }
            Connection c;
            c.fd = fd;
            c.lastActivityMs = NowMs();
            connections.push_back(std::move(c));
        }
    }
};

CLogDaemon::CLogDaemon(std::string socketPath)
    : m_socketPath(std::move(socketPath)), m_pImpl(new Impl) {}

CLogDaemon::~CLogDaemon() {
    Stop();
    if (m_pImpl->output != nullptr) fclose(m_pImpl->output);
}

bool CLogDaemon::Start(std::string* pError) {
    Impl& d = *m_pImpl;
    if (IsRunning()) {
        if (pError) *pError = "already running";
        return false;
    }
    sockaddr_un addr;
    if (!FillAddress(m_socketPath, &addr, pError)) return false;
    struct stat st;
    if (lstat(m_socketPath.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            if (pError) *pError = m_socketPath + " exists and is not a socket";
            return false;
        }
        int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool live =
            probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
        if (probe >= 0) close(probe);
        if (live) {
            if (pError) *pError = "another daemon listens on " + m_socketPath;
            return false;
        }
        unlink(m_socketPath.c_str());
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(fd, SOMAXCONN) != 0) {
        if (pError) *pError = m_socketPath + ": " + strerror(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        if (pError) *pError = std::string("pipe: ") + strerror(errno);
        close(fd);
        unlink(m_socketPath.c_str());
        return false;
    }
    d.listenFd = fd;
    d.wakeRead = wake[0];
    d.wakeWrite = wake[1];
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.running = true;
    }
    m_thread = std::thread(&CLogDaemon::Serve, this);
    return true;
}

void CLogDaemon::Stop() {
    Impl& d = *m_pImpl;
    if (!m_thread.joinable()) return;
    char c = 0;
    ssize_t ignored = write(d.wakeWrite, &c, 1);
    (void)ignored;
    m_thread.join();
    while (!d.connections.empty()) d.CloseConnection(d.connections.begin(), "daemon stopped");
    close(d.listenFd);
    close(d.wakeRead);
    close(d.wakeWrite);
    d.listenFd = d.wakeRead = d.wakeWrite = -1;
    unlink(m_socketPath.c_str());
    std::lock_guard<std::mutex> lock(d.mutex);
    d.running = false;
    d.changed.notify_all();
}

bool CLogDaemon::IsRunning() const {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    return m_pImpl->running;
}

void CLogDaemon::Serve() {
    Impl& d = *m_pImpl;
    std::vector<pollfd> fds;
    std::vector<std::list<Impl::Connection>::iterator> owners;
    for (;;) {
        fds.clear();
        owners.clear();
        fds.push_back({d.wakeRead, POLLIN, 0});
        fds.push_back({d.listenFd, POLLIN, 0});
        for (auto it = d.connections.begin(); it != d.connections.end(); ++it) {
            short events = it->closeAfterReply ? POLLOUT : POLLIN;
            fds.push_back({it->fd, events, 0});
            owners.push_back(it);
        }
        int n = poll(fds.data(), fds.size(), 500);
        if (n < 0 && errno != EINTR) return;
        if (n > 0 && fds[0].revents != 0) return;
        const uint64_t now = NowMs();
        for (size_t i = 0; i < owners.size(); ++i) {
            auto it = owners[i];
            short rev = fds[i + 2].revents;
            if (rev == 0) {
                if (now - it->lastActivityMs > kIdleTimeoutMs) {
                    d.CloseConnection(it, "idle connection closed");
                }
                continue;
            }
            it->lastActivityMs = now;
            if (it->closeAfterReply) {
                if ((rev & (POLLERR | POLLHUP)) != 0 || !d.SendReply(*it)) {
                    d.CloseConnection(it, nullptr);
                }
                continue;
            }
            const char* why = nullptr;
            if (!d.ReadSome(*it, &why)) {
                d.CloseConnection(it, why);
            } else if (it->closeAfterReply && it->replySent >= it->reply.size()) {
                d.CloseConnection(it, nullptr);
            }
        }
        if (n > 0 && fds[1].revents != 0) d.Accept();
    }
}

void CLogDaemon::SetEcho(FILE* pEcho) {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    m_pImpl->echo = pEcho;
}

void CLogDaemon::SetEchoPriorities(bool bOn) {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    m_pImpl->echoPriorities = bOn;
}

int CLogDaemon::JournalPriority(const LogDaemonMessage& msg) {
    if (!msg.error.empty()) return 4;
    switch (msg.level) {
        case 999:
            return 1;
        case 0:
            return 3;
        case 4:
            return 6;
        default:
            return 7;
    }
}

bool CLogDaemon::SetOutputFile(const std::string& path, std::string* pError) {
    FILE* f = nullptr;
    if (!path.empty()) {
        f = fopen(path.c_str(), "ae");
        if (f == nullptr) {
            if (pError) *pError = path + ": " + strerror(errno);
            return false;
        }
    }
    FILE* old;
    {
        std::lock_guard<std::mutex> lock(m_pImpl->mutex);
        old = m_pImpl->output;
        m_pImpl->output = f;
    }
    if (old != nullptr) fclose(old);
    return true;
}

void CLogDaemon::SetRecording(bool bRecord) {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    m_pImpl->recording = bRecord;
}

void CLogDaemon::SetFault(Fault fault, size_t faultBytes) {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    m_pImpl->fault = fault;
    m_pImpl->faultBytes = faultBytes;
}

void CLogDaemon::SetConfig(std::string config) {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    m_pImpl->config = std::move(config);
}

void CLogDaemon::SetSettings(std::string settings) {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    m_pImpl->settings = std::move(settings);
}

std::string CLogDaemon::Settings() const {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    return m_pImpl->settings;
}

void CLogDaemon::SetStatusReply(int32_t status) {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    m_pImpl->statusReply = status;
}

std::vector<LogDaemonMessage> CLogDaemon::Messages() const {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    return m_pImpl->messages;
}

size_t CLogDaemon::MessageCount() const {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    return m_pImpl->messageCount;
}

size_t CLogDaemon::ClosedConnections() const {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    return m_pImpl->closedCount;
}

void CLogDaemon::Clear() {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    m_pImpl->messages.clear();
}

bool CLogDaemon::WaitFor(const std::function<bool(const std::vector<LogDaemonMessage>&)>& pred,
                         unsigned timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_pImpl->mutex);
    return m_pImpl->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                     [&] { return pred(m_pImpl->messages); });
}

bool CLogDaemon::WaitForMessages(size_t count, unsigned timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_pImpl->mutex);
    return m_pImpl->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                     [&] { return m_pImpl->messageCount >= count; });
}

bool CLogDaemon::WaitForClosedConnections(size_t count, unsigned timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_pImpl->mutex);
    return m_pImpl->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                     [&] { return m_pImpl->closedCount >= count; });
}

bool CLogDaemon::WaitForText(const std::string& text, LogDaemonMessage* pOut,
                             unsigned timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_pImpl->mutex);
    const LogDaemonMessage* pFound = nullptr;
    bool found = m_pImpl->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (const LogDaemonMessage& m : m_pImpl->messages) {
            if (m.kind == 0 && m.complete && m.text == text) {
                pFound = &m;
                return true;
            }
        }
        return false;
    });
    if (found && pOut != nullptr) *pOut = *pFound;
    return found;
}

std::string CLogDaemon::FormatLine(const LogDaemonMessage& msg) {
    char stamp[64] = "";
    time_t seconds = static_cast<time_t>(msg.seconds);
    struct tm local;
    if (localtime_r(&seconds, &local) != nullptr) {
        size_t n = strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);
        snprintf(stamp + n, sizeof(stamp) - n, ".%06u", msg.microseconds % 1000000u);
    }
    char head[160];
    if (msg.kind == 0) {
        snprintf(head, sizeof(head), "%s pid %u tid %u level %u: ", stamp, msg.pid, msg.tid,
                 msg.level);
    } else {
        snprintf(head, sizeof(head), "%s pid %u tid %u request %u: ", stamp, msg.pid, msg.tid,
                 msg.kind);
    }
    std::string line = head;
    AppendEscaped(&line, msg.text);
    if (msg.dataLength != 0) {
        static const char kHex[] = "0123456789abcdef";
        line += " [" + std::to_string(msg.dataLength) + " bytes:";
        size_t shown = std::min(msg.data.size(), kHexDumpBytes);
        for (size_t i = 0; i < shown; ++i) {
            line += ' ';
            line += kHex[msg.data[i] >> 4];
            line += kHex[msg.data[i] & 15];
        }
        if (msg.dataLength > shown) line += " ...";
        line += ']';
    }
    return line;
}
