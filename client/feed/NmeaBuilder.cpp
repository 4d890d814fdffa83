#include "NmeaBuilder.h"
#include <cstdio>
namespace gnss::feed {
std::string FixSentences(const GNSS_FIXDATA& fix) {
    char b[200];
    std::snprintf(b, sizeof b, "$STUB,%.7f,%.7f\r\n", fix.BasicData.Latitude, fix.BasicData.Longitude);
    return b;
}
std::string NoFixSentences() { return "$GPRMC,,V,,,,,,,,,,N*53\r\n"; }
}
