// What gnssd follows of the driver's module-wide switches, for commands other
// than status that must check their outcome (StatusCommand.cpp).
#pragma once

#include "Command.h"

namespace gnss::ctl {

// After the driver took GNSS_SetNMEALogging 255: throws client::Error (exit
// status 1) with the path and the reason when the NMEA log file does not
// exist, which the driver then could not create (its folder is missing).  A
// gnssd that does not say whether the file exists passes.
void CheckNmeaLogFile(Context& context);

}  // namespace gnss::ctl
