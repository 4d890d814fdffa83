// The scalar types and status values the driver is written with.  They are
// defined once, with the published GNSS interface that clients share
// (protocol/), and re-exported here for the platform and the driver.
#pragma once

#include "gnss/protocol/status.h"
#include "gnss/protocol/types.h"

inline constexpr DWORD INFINITE = 0xFFFFFFFFu;
