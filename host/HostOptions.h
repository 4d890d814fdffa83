// Command-line options of gnssd.
#pragma once

#include <cstdint>
#include <string>

#include "gnss/platform/types.h"

namespace gnss::host {

inline constexpr const char* kDefaultModem = "sim";
inline constexpr const char* kDefaultNmeaLog = "/var/log/gnss/NmeaLog.txt";
// The driver takes its NMEA log path from this variable (kDefaultNmeaLog when
// unset or empty); gnssd sets it from --nmea-log.
inline constexpr const char* kNmeaLogVariable = "GNSS_NMEA_LOG_FILE";
inline constexpr const char* kDriverModuleName = "veruzuvedazedeva.so";
inline constexpr std::uint64_t kMinLogMaxSize = 4096;
// Errors and warnings: what a system daemon writes unless asked for more.
inline constexpr unsigned kDefaultLogLevel = 3;

struct HostOptions {
    std::string modem = kDefaultModem;  // the USB back-end (Backends.h)
    std::string socketPath;      // empty: $GNSS_SOCKET, else frame::DefaultSocketPath()
    std::string socketGroup;     // empty: the socket keeps the daemon's group
    std::string driverPath;      // empty: DefaultDriverPath()
    std::string nmeaLog = kDefaultNmeaLog;
    unsigned logLevel = kDefaultLogLevel;
    std::string logFile;         // empty: standard error
    std::uint64_t logMaxSize = 0;  // the log file's size cap in bytes, 0: none
    bool journal = false;        // standard error's lines with <N> priorities (also JOURNAL_STREAM)
    std::string eventsFile;      // empty: no event session
    UCHAR eventsLevel = 0;       // 0: every level
    ULONGLONG eventsKeywords = 0;  // match-any mask, 0: every keyword
    int readyFd = -1;            // written "READY <socket>\n" once listening
    bool foreground = false;
    bool help = false;
    bool version = false;
};

// Parses argv; on a bad option writes the reason into `error` and returns false.
bool ParseHostOptions(int argc, char** argv, HostOptions& options, std::string& error);

// The help text, with the defaults that apply to this process.
std::string HostUsage();

// The driver module beside this executable's lib directory: <prefix>/lib/
// veruzuvedazedeva.so for <prefix>/bin/gnssd.
std::string DefaultDriverPath();

}  // namespace gnss::host
