// gnssd's own account of its clients and of the driver's module-wide
// switches: the status host query (frame::kHostQueryStatus), decoded.
//
//   const gnss::client::HostStatus s = gnss::client::QueryHostStatus(*device);
//   if (s.location && !*s.location) ...
//
// A field stays empty (std::nullopt) when gnssd did not send its line: a gnssd
// older than the line, or a line sent only in some states (the NMEA log file's
// presence while the switch is off).  Lines this library does not know are
// skipped, so a later gnssd's answer decodes all the same.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gnss/client/device.h"

namespace gnss::client {

struct HostStatus {
    struct Session {
        std::uint32_t id = 0;
        bool continuous = false;
        std::uint32_t interval = 0;  // seconds; 0 for a single shot
    };

    std::optional<unsigned> connections;  // the asking one included
    std::vector<Session> sessions;        // started by connections and not stopped
    std::optional<unsigned> nmeaWanted;   // the driver's NMEA count
    std::uint32_t lkg = 0;                // the driver's last-known-good session (0: none)
    std::optional<std::uint64_t> nmeaLost;  // NMEA blocks the driver's queue dropped
    std::optional<bool> location;         // the location service is on
    std::optional<bool> testMode;         // production test mode is on
    std::optional<bool> nmeaLog;          // the NMEA log file switch is on
    std::optional<std::string> nmeaLogPath;
    std::optional<bool> nmeaLogFile;    // the file exists (only while the switch is on)
    std::optional<bool> nmeaLogFolder;  // its folder exists (likewise)
    std::optional<bool> modemAttached;
    std::string modemWaitsFor;  // while no modem is attached: what gnssd waits for ("" unsaid)

    // The folder of nmeaLogPath ("" without a path).
    std::string NmeaLogFolder() const;
};

// Decodes the status answer's text.
HostStatus DecodeHostStatus(std::string_view text);

// Asks gnssd for its status and decodes it.  Throws StatusError when gnssd
// refuses the query, ConnectionError when a gnssd that predates host queries
// ends the connection, TimeoutError as Device::Control does.
HostStatus QueryHostStatus(Device& device,
                           std::chrono::milliseconds timeout = Device::kDefaultTimeout);

}  // namespace gnss::client
