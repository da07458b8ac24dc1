#include "log/Log.h"

#include <errno.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include "log/LogPipe.h"
#include "threads/Thread.h"

std::atomic<unsigned int> g_ulErrorCount{0};
std::atomic<unsigned int> g_ulThreadCount{0};

namespace {

constexpr uint32_t kKindMessage = 0;
constexpr uint32_t kKindGetConfig = 1;
constexpr uint32_t kKindGetSettings = 2;
constexpr uint32_t kKindSetSettings = 3;
constexpr size_t kHeaderBytes = 32;
// A reply longer than this is taken as a broken daemon rather than collected without limit.
constexpr size_t kMaxReply = 1024 * 1024;

const unsigned char kNoData = 0;

struct Header {
    uint32_t words[8];
};
static_assert(sizeof(Header) == kHeaderBytes, "the wire header is eight 32-bit words");

Header MakeHeader(uint32_t uKind, uint32_t uLevel, uint32_t uTextLength, uint32_t uDataLength) {
    timeval tv;
    gettimeofday(&tv, nullptr);
    Header h;
    h.words[0] = static_cast<uint32_t>(tv.tv_sec);
    h.words[1] = static_cast<uint32_t>(tv.tv_usec);
    h.words[2] = static_cast<uint32_t>(getpid());
    h.words[3] = static_cast<uint32_t>(syscall(SYS_gettid));
    h.words[4] = uKind;
    h.words[5] = uLevel;
    h.words[6] = uTextLength;
    h.words[7] = uDataLength;
    return h;
}

// Holds the unload (or process exit) until every long-message worker has finished, so that no
// worker runs code of an unloaded library. Internal on purpose: an exported data symbol with a
// common name (the historical one was "wait") would replace the C library's function of that
// name for the whole host process.
class CForceWaitForUnloadIfLoggingIncomplete {
public:
    ~CForceWaitForUnloadIfLoggingIncomplete() {
        while (g_ulThreadCount.load() != 0) usleep(10000);
    }
};
CForceWaitForUnloadIfLoggingIncomplete s_logWorkersUnloadWait;

// Worker for a long message: the block is a 32-bit length followed by that many bytes to send.
void LogThread(void* pBlock) {
    unsigned char* pBytes = static_cast<unsigned char*>(pBlock);
    uint32_t uTotal;
    memcpy(&uTotal, pBytes, sizeof(uTotal));
    CLogPipe pipe;
    int r = pipe.OpenPipe(1);
    if (r != 0) r = pipe.Write(pBytes + sizeof(uTotal), uTotal);
    pipe.Close();
    if (r == 0) ++g_ulErrorCount;
    free(pBlock);
    --g_ulThreadCount;
}

int DumpLongMessage(const Header& header, const char* pszText, size_t uTextLength,
                    const void* pData, unsigned int uLength) {
    size_t uTotal = kHeaderBytes + uTextLength + uLength;
    if (uTotal > 0xFFFFFFFFu) {
        ++g_ulErrorCount;
        return 0;
    }
    unsigned char* pBlock = static_cast<unsigned char*>(malloc(sizeof(uint32_t) + uTotal));
    if (pBlock == nullptr) {
        ++g_ulErrorCount;
        return 0;
    }
    uint32_t uTotal32 = static_cast<uint32_t>(uTotal);
    unsigned char* p = pBlock;
    memcpy(p, &uTotal32, sizeof(uTotal32));
    p += sizeof(uTotal32);
    memcpy(p, &header, kHeaderBytes);
    p += kHeaderBytes;
    memcpy(p, pszText, uTextLength);
    p += uTextLength;
    memcpy(p, pData, uLength);
    // Counted before the thread exists, so that the unload wait cannot miss a worker that has
    // been started but has not run yet.
    ++g_ulThreadCount;
    CThread worker(1);
    if (!worker.Start(LogThread, pBlock)) {
        --g_ulThreadCount;
        free(pBlock);
        ++g_ulErrorCount;
        return 0;
    }
    return 1;
}

// After a delivered message: report what was lost since the last report. A report that cannot be
// delivered puts its count back, so the next successful message carries it.
void ReportLost(int iDelivered) {
    if (iDelivered == 0) return;
    unsigned int uLost = g_ulErrorCount.exchange(0);
    if (uLost == 0) return;
    char szText[64];
    snprintf(szText, sizeof(szText), "%d messages lost", static_cast<int>(uLost));
    if (DumpMessage(LOGLEVEL_NOTICE, &kNoData, 0, szText) == 0) g_ulErrorCount += uLost;
}

void FormatText(char (&szText)[LOG_MAX_TEXT + 1], const char* pszFormat, va_list args) {
    szText[0] = '\0';
    if (pszFormat == nullptr) return;
    if (vsnprintf(szText, sizeof(szText), pszFormat, args) < 0) szText[0] = '\0';
}

}  // namespace

const char* LogSocketPath() {
    const char* pszPath = getenv("TALIUN_LOG_SOCKET");
    if (pszPath != nullptr && pszPath[0] != '\0') return pszPath;
    return "/var/korvo/taliun/taliunlogd.socket";
}

int DumpMessage(unsigned int level, const void* data, unsigned int length, const char* text) {
    if (text == nullptr) text = "";
    if (data == nullptr && length == 0) data = &kNoData;
    // Such a message cannot be sent as its header announces it.
    if (data == nullptr || (length & 0x80000000u) != 0) {
        ++g_ulErrorCount;
        return 0;
    }
    size_t uTextLength = strlen(text);
    if (uTextLength > 0x7FFFFFFFu) {
        ++g_ulErrorCount;
        return 0;
    }
    Header header = MakeHeader(kKindMessage, level, static_cast<uint32_t>(uTextLength), length);
    if (length > LOG_MAX_DIRECT_DATA) {
        return DumpLongMessage(header, text, uTextLength, data, length);
    }
    CLogPipe pipe;
    int r = pipe.OpenPipe(1);
    if (r != 0) r = pipe.Write(&header, kHeaderBytes);
    if (r != 0) r = pipe.Write(text, static_cast<unsigned int>(uTextLength));
    if (r != 0) r = pipe.Write(data, length);
    pipe.Close();
    if (r == 0) {
        ++g_ulErrorCount;
        return 0;
    }
    return r;
}

extern "C" void LogMsg(int level, const char* format, ...) {
    char szText[LOG_MAX_TEXT + 1];
    va_list args;
    va_start(args, format);
    FormatText(szText, format, args);
    va_end(args);
    ReportLost(DumpMessage(static_cast<unsigned int>(level), &kNoData, 0, szText));
}

extern "C" void Log(int level, const void* data, unsigned int length, const char* format, ...) {
    char szText[LOG_MAX_TEXT + 1];
    va_list args;
    va_start(args, format);
    FormatText(szText, format, args);
    va_end(args);
    ReportLost(DumpMessage(static_cast<unsigned int>(level), data, length, szText));
}

extern "C" void LogRaw(int level, const void* data, unsigned int length) {
    ReportLost(DumpMessage(static_cast<unsigned int>(level), data, length, ""));
}

namespace {

std::string GetString(uint32_t uKind) {
    Header header = MakeHeader(uKind, 0, 0, 0);
    CLogPipe pipe;
    if (pipe.OpenPipe(0) == 0 || pipe.Write(&header, kHeaderBytes) == 0) {
        ++g_ulErrorCount;
        return std::string();
    }
    std::string result;
    for (;;) {
        char c;
        if (pipe.Read(&c, 1) != 1 || (c != '\0' && result.size() >= kMaxReply)) {
            ++g_ulErrorCount;
            return std::string();
        }
        if (c == '\0') return result;
        result.push_back(c);
    }
}

}  // namespace

std::string GetLogConfig() { return GetString(kKindGetConfig); }

std::string GetLogSettings() { return GetString(kKindGetSettings); }

int SetLogSettings(std::string settings) {
    if (settings.size() >= 0x7FFFFFFFu) return EINVAL;
    const unsigned int uLength = static_cast<unsigned int>(settings.size());
    Header header = MakeHeader(kKindSetSettings, 0, uLength, 0);
    CLogPipe pipe;
    if (pipe.OpenPipe(0) == 0) {
        ++g_ulErrorCount;
        return ECONNREFUSED;
    }
    if (pipe.Write(&header, kHeaderBytes) == 0 || pipe.Write(settings.c_str(), uLength + 1) == 0) {
        ++g_ulErrorCount;
        return errno;
    }
    int32_t status = 0;
    unsigned char* p = reinterpret_cast<unsigned char*>(&status);
    unsigned int uGot = 0;
    while (uGot < sizeof(status)) {
        int n = pipe.Read(p + uGot, sizeof(status) - uGot);
        if (n < 0) return errno;
        // The daemon hung up without answering: never report that as a status of 0.
        if (n == 0) return ECONNRESET;
        uGot += static_cast<unsigned int>(n);
    }
    return status;
}
