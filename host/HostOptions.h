// Command-line options of gnssd.
#pragma once

#include <string>

#include "gnss/platform/types.h"

namespace gnss::host {

struct HostOptions {
    unsigned logLevel = 4;
    std::string logFile;         // empty: standard error
    std::string eventsFile;      // empty: no event session
    UCHAR eventsLevel = 0;       // 0: every level
    ULONGLONG eventsKeywords = 0;  // match-any mask, 0: every keyword
    bool foreground = false;
    bool help = false;
    bool version = false;
};

// Parses argv; on a bad option writes the reason into `error` and returns false.
bool ParseHostOptions(int argc, char** argv, HostOptions& options, std::string& error);

const char* HostUsage();

}  // namespace gnss::host
