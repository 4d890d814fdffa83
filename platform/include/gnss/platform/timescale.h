// The one time-scale setting.
//
// The driver keeps the durations it is built with (1000 ms pauses and answer
// time-outs, 3000 ms stop and thread-exit waits, the 1000 ms idle time-out).
// Tests may run them shortened: every duration given to the platform's waits
// (gnss::os::WaitForAny, Event::Wait, gnss::os::Sleep, Thread::Join) and the
// framework's idle time-out is multiplied by the time scale.  The scale is 1
// unless the environment variable GNSS_TIME_SCALE holds a factor in (0, 1]
// (for example GNSS_TIME_SCALE=0.05 turns 1000 ms into 50 ms), or a program
// sets it with SetTimeScale.  INFINITE stays infinite and 0 stays 0; a scaled
// non-zero duration is never shorter than 1 ms.
#pragma once

#include "gnss/platform/types.h"

namespace gnss::os {

double TimeScale();
void SetTimeScale(double factor);  // factors outside (0, 1] reset it to 1
DWORD ScaleDuration(DWORD milliseconds);

}  // namespace gnss::os
