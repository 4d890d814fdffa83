// What gnssd follows of the driver's module-wide switches, for commands other
// than status that must check their outcome (StatusCommand.cpp).
#pragma once

#include <optional>

#include "Command.h"
#include "gnss/client/host_status.h"

namespace gnss::ctl {

// After the driver took GNSS_SetNMEALogging 255: throws client::Error (exit
// status 1) with the path and the reason when the NMEA log file does not
// exist, which the driver then could not create (its folder is missing).  A
// gnssd that does not say whether the file exists passes.
void CheckNmeaLogFile(Context& context);

// gnssd's account, or nothing when it cannot be had (an older gnssd, a
// broken connection): for messages that then say less.
std::optional<client::HostStatus> HostStatusOf(Context& context);

}  // namespace gnss::ctl
