// Wall-clock time and the FILETIME/SYSTEMTIME conversions.
//
// FILETIME counts 100 ns intervals since 1601-01-01 00:00:00 UTC.  The
// conversions accept and refuse exactly the values the driver's callers rely
// on: SystemTimeToFileTime fails for a year before 1601 or after 30827, a
// month outside 1-12, a day outside its month (leap years included), an hour
// of 24 or more, a minute or second of 60 or more, or 1000 milliseconds or
// more; the day of week is ignored.  FileTimeToSystemTime fails for values at
// or above 2^63 and fills the day of week.
#pragma once

#include "gnss/platform/types.h"

namespace gnss::os {

// Current UTC time.
void GetSystemTime(SYSTEMTIME* st);
void GetSystemTimeAsFileTime(FILETIME* ft);

BOOL SystemTimeToFileTime(const SYSTEMTIME* st, FILETIME* ft);
BOOL FileTimeToSystemTime(const FILETIME* ft, SYSTEMTIME* st);

// Days in a month of the proleptic Gregorian calendar (0 for an invalid month).
int DaysInMonth(int year, int month);

}  // namespace gnss::os
