// Parses arbitrary position report lines, and checks what the parser
// promises whatever the line: at most 64 satellites, a known result, and a
// record left untouched when the result says nothing was parsed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "at/PositionReport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    GNSS_FIXDATA fix{};
    const int result = ParseXLCSLSR(line.c_str(), &fix);
    const GNSS_FIXDATA empty{};
    switch (result) {
        case XLCSLSR_PARSED:
            if (fix.SatelliteData.SatelliteCount > GNSS_MAXSATELLITE) std::abort();
            break;
        case XLCSLSR_TOO_SHORT:
            if (fix.FixTimeStamp.dwLowDateTime != 0 || fix.FixTimeStamp.dwHighDateTime != 0)
                std::abort();
            break;
        case XLCSLSR_NO_SPACE:
        case XLCSLSR_UNKNOWN_SHAPE:
            if (std::memcmp(&fix, &empty, sizeof fix) != 0) std::abort();
            break;
        default:
            std::abort();
    }
    return 0;
}
