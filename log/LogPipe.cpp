#include "log/LogPipe.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "log/Log.h"

int CLogPipe::OpenPipe(int iNonBlocking) {
    Close();
    // Non-blocking from the start: a daemon whose backlog is full must not hold up the caller
    // in connect either.
    int type = SOCK_STREAM | SOCK_CLOEXEC | (iNonBlocking != 0 ? SOCK_NONBLOCK : 0);
    m_fd = socket(AF_UNIX, type, 0);
    if (m_fd < 0) {
        m_fd = -1;
        return 0;
    }
    sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    const char* pszPath = LogSocketPath();
    size_t uPathLength = strlen(pszPath);
    if (uPathLength >= sizeof(addr.sun_path)) {
        errno = ENAMETOOLONG;
        return 0;
    }
    memcpy(addr.sun_path, pszPath, uPathLength);
    if (connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) return 0;
    return 1;
}

int CLogPipe::Write(const void* pData, unsigned int uLength) {
    if ((uLength & 0x80000000u) != 0) uLength = 0x7FFFFFFF;
    const char* p = static_cast<const char*>(pData);
    size_t uLeft = uLength;
    while (uLeft > 0) {
        // MSG_NOSIGNAL: a daemon that has gone away must not raise SIGPIPE in the host.
        ssize_t n = send(m_fd, p, uLeft, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            // A peer that closed has taken what it wanted; anything else loses the message.
            return errno == EPIPE ? 1 : 0;
        }
        p += n;
        uLeft -= static_cast<size_t>(n);
    }
    return 1;
}

int CLogPipe::Read(void* pBuffer, unsigned int uSize) {
    if ((uSize & 0x80000000u) != 0) uSize = 0x7FFFFFFF;
    ssize_t n;
    do {
        n = read(m_fd, pBuffer, uSize);
    } while (n < 0 && errno == EINTR);
    return static_cast<int>(n);
}

int CLogPipe::Close() {
    if (m_fd != -1) {
        close(m_fd);
        m_fd = -1;
    }
    return 1;
}
