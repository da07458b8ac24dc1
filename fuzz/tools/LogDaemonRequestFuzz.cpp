// The log daemon's request reader against arbitrary clients: each input is the byte stream of one
// connection to a daemon running in this process, sent in pieces whose sizes come from the input,
// then the client stops sending and reads the reply until the daemon closes the connection. The
// daemon must close every connection promptly, answer only complete requests of kinds 1 to 3, and
// record what it read exactly as it arrived.
//
// Input: byte 0 seeds the piece sizes; the rest is the stream.
#include <errno.h>
#include <poll.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tools/LogDaemon.h"

namespace {

constexpr unsigned kCloseTimeoutMs = 5000;
const char kConfig[] = "level=2";

CLogDaemon* g_pDaemon = nullptr;
std::string g_strDir;

void Require(bool bCondition, const char* pszWhat) {
    if (bCondition) return;
    fprintf(stderr, "violated: %s\n", pszWhat);
    abort();
}

uint32_t Word(const uint8_t* p, size_t index) {
    uint32_t w;
    memcpy(&w, p + 4 * index, sizeof w);
    return w;
}

int Connect(const std::string& strPath) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Require(fd >= 0, "socket");
    sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, strPath.c_str(), strPath.size());
    Require(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0,
            "connect to the daemon");
    return fd;
}

// Sends what the daemon takes; it may close early (a refused header), so a failed send ends it.
void SendAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return;
        p += k;
        n -= static_cast<size_t>(k);
    }
}

std::string ReadUntilClosed(int fd) {
    std::string strReply;
    char buf[4096];
    for (;;) {
        pollfd pfd = {fd, POLLIN, 0};
        const int r = poll(&pfd, 1, kCloseTimeoutMs);
        if (r < 0 && errno == EINTR) continue;
        Require(r == 1, "the daemon closes the connection after the client stopped sending");
        const ssize_t k = recv(fd, buf, sizeof buf, 0);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return strReply;
        strReply.append(buf, static_cast<size_t>(k));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char szTemplate[] = "/tmp/taliun-logd-fuzz.XXXXXX";
    Require(mkdtemp(szTemplate) != nullptr, "temporary folder");
    g_strDir = szTemplate;
    g_pDaemon = new CLogDaemon(g_strDir + "/log.sock");
    std::string strError;
    if (!g_pDaemon->Start(&strError)) {
        fprintf(stderr, "daemon: %s\n", strError.c_str());
        abort();
    }
    g_pDaemon->SetConfig(kConfig);
    g_pDaemon->SetSettings("initial");
    atexit([] {
        g_pDaemon->Stop();
        delete g_pDaemon;
        rmdir(g_strDir.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t ulSize) {
    if (ulSize < 1) return 0;
    unsigned int ulSeed = pData[0] * 2654435761u + 7;
    const uint8_t* p = pData + 1;
    const size_t n = ulSize - 1;

    g_pDaemon->Clear();
    g_pDaemon->SetSettings("initial");
    const size_t ulClosedBefore = g_pDaemon->ClosedConnections();
    const size_t ulCountBefore = g_pDaemon->MessageCount();

    const int fd = Connect(g_pDaemon->SocketPath());
    for (size_t ulSent = 0; ulSent < n;) {
        ulSeed = ulSeed * 1103515245u + 12345u;
        size_t ulPiece = 1 + (ulSeed >> 16) % 48;
        if (ulPiece > n - ulSent) ulPiece = n - ulSent;
        SendAll(fd, p + ulSent, ulPiece);
        ulSent += ulPiece;
    }
    shutdown(fd, SHUT_WR);
    const std::string strReply = ReadUntilClosed(fd);
    close(fd);
    Require(g_pDaemon->WaitForClosedConnections(ulClosedBefore + 1, kCloseTimeoutMs),
            "the connection is closed");

    const std::vector<LogDaemonMessage> vecMessages = g_pDaemon->Messages();
    Require(g_pDaemon->MessageCount() - ulCountBefore == vecMessages.size(),
            "every request is counted once");
    Require(vecMessages.size() <= 1, "one request per connection");
    if (n == 0) {
        Require(vecMessages.empty() && strReply.empty(),
                "nothing sent, nothing recorded or answered");
        return 0;
    }
    Require(vecMessages.size() == 1, "whatever arrived is recorded");
    const LogDaemonMessage& msg = vecMessages[0];
    Require(msg.raw.size() <= n && memcmp(msg.raw.data(), p, msg.raw.size()) == 0,
            "the record is what arrived");
    (void)CLogDaemon::FormatLine(msg);

    const bool bHeader = n >= 32;
    const uint32_t ulKind = bHeader ? Word(p, 4) : 0xFFFFFFFFu;
    const uint32_t ulText = bHeader ? Word(p, 6) : 0;
    const uint32_t ulDataLen = bHeader ? Word(p, 7) : 0;
    if (!msg.complete) {
        Require(!msg.error.empty(), "an incomplete request says why");
        Require(strReply.empty(), "an incomplete request gets no answer");
        return 0;
    }
    Require(bHeader, "a complete request has its header");
    const bool bString =
        ulKind != 3 || (msg.raw.size() == 32 + size_t(ulText) + 1 && msg.raw.back() == 0 &&
                        msg.text.find('\0') == std::string::npos);
    Require(msg.error.empty() == bString,
            "a complete request is accepted unless its settings are not a string");
    switch (ulKind) {
        case 0:
            Require(msg.raw.size() == 32 + size_t(ulText) + ulDataLen,
                    "a log message is read to its end");
            Require(msg.text.size() == ulText && msg.data.size() == ulDataLen,
                    "text and data as announced");
            Require(strReply.empty(), "log messages get no answer");
            break;
        case 1:
            Require(ulText == 0 && ulDataLen == 0 && msg.raw.size() == 32,
                    "a configuration request has no body");
            Require(strReply == std::string(kConfig, sizeof kConfig),
                    "the configuration and its terminator");
            break;
        case 2:
            Require(ulText == 0 && ulDataLen == 0 && msg.raw.size() == 32,
                    "a settings request has no body");
            Require(strReply == std::string("initial", 8), "the settings and their terminator");
            break;
        case 3:
            Require(msg.raw.size() == 32 + size_t(ulText) + 1 && ulDataLen == 0,
                    "settings and one terminator");
            Require(strReply.size() == 4, "a status word answers a settings change");
            if (msg.error.empty())
                Require(g_pDaemon->Settings() == msg.text, "accepted settings are kept");
            else
                Require(g_pDaemon->Settings() == "initial", "refused settings change nothing");
            break;
        default:
            Require(false, "unknown kinds are never complete");
    }
    return 0;
}
