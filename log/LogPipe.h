#pragma once

// One connection to the log daemon; owns its socket until Close.
class CLogPipe {
public:
    explicit CLogPipe(int fd = -1) : m_fd(fd) {}
    ~CLogPipe() { Close(); }
    CLogPipe(const CLogPipe&) = delete;
    CLogPipe& operator=(const CLogPipe&) = delete;

    // Connects to the daemon's socket; 1 on success, 0 on failure. A nonzero flag makes the
    // connection non-blocking, the connect included.
    int OpenPipe(int iNonBlocking);
    // Writes everything; 1 when written or when the peer has closed (EPIPE), 0 on any other
    // failure. Never raises SIGPIPE. A length with the top bit set is taken as 0x7FFFFFFF.
    int Write(const void* pData, unsigned int uLength);
    // One read; returns what read returned. A size with the top bit set is taken as 0x7FFFFFFF.
    int Read(void* pBuffer, unsigned int uSize);
    int Flush() { return 1; }
    int Close();

private:
    int m_fd;
};
