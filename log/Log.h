#pragma once
#include <atomic>
#include <string>

#include "threads/Export.h"

// Message levels; the daemon gives them their meaning, the component does not filter.
enum : int {
    LOGLEVEL_NOTICE = 0,   // internal failures and notices, the lost-message report
    LOGLEVEL_TRACE = 2,    // trace of every host call and binary traces of data
    LOGLEVEL_VERSION = 4,  // version line at start-up
    LOGLEVEL_ALERT = 999,  // alerts ("** ...")
};

// Text longer than this is cut.
constexpr unsigned int LOG_MAX_TEXT = 2047;
// Messages with more data than this are written by a detached worker thread.
constexpr unsigned int LOG_MAX_DIRECT_DATA = 0x10000;

extern "C" {
// Formats the text (at most LOG_MAX_TEXT characters) and sends it with no data.
TALIUN_EXPORT void LogMsg(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Formats the text and sends it with the length bytes at data.
TALIUN_EXPORT void Log(int level, const void* data, unsigned int length, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
// Sends the data with an empty text.
TALIUN_EXPORT void LogRaw(int level, const void* data, unsigned int length);
}

// The common sender: nonzero when the message was written or handed to a worker, 0 when lost.
// Null text is empty text. Null data with a nonzero length, and lengths with the top bit set
// (they cannot be sent whole), lose the message.
TALIUN_EXPORT int DumpMessage(unsigned int level, const void* data, unsigned int length,
                              const char* text);

// The daemon's log configuration and log settings; empty on any failure.
TALIUN_EXPORT std::string GetLogConfig();
TALIUN_EXPORT std::string GetLogSettings();
// Returns the daemon's status word (0: accepted), ECONNREFUSED when the daemon cannot be reached,
// or the error number of a failed exchange.
TALIUN_EXPORT int SetLogSettings(std::string settings);

// Messages and requests that failed since the last "%d messages lost" report.
TALIUN_EXPORT extern std::atomic<unsigned int> g_ulErrorCount;
// Long-message workers started and not yet finished; the unload waits for it to reach 0.
TALIUN_EXPORT extern std::atomic<unsigned int> g_ulThreadCount;

// Path of the daemon's socket: environment TALIUN_LOG_SOCKET if set and non-empty, else
// "/var/korvo/taliun/taliunlogd.socket".
const char* LogSocketPath();
