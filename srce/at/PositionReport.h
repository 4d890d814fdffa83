// The modem's position report: the unsolicited "+XLCSLSR" line that carries
// one fix as several dozen comma-separated fields, and the readers it is
// parsed with.
//
// The report's first field, right after the first blank of the line, is the
// shape of the position (0 point with uncertainty circle, 1 point with
// uncertainty ellipse, 2 point with altitude and uncertainty ellipsoid, 3 arc).
// The shape's own fields follow, then a tail common to all shapes (date,
// time, heading, speed, speed accuracy, the three dilutions of precision and
// a run of fields the driver does not use), then up to four groups of
// satellite records, one group per constellation, each a record count
// followed by that many records of eight fields.
#pragma once

#include <memory>
#include <string_view>

#include "gnss/platform/types.h"
#include "gnss/protocol/gnss_ddi.h"

// Splits a text into fields at any of a set of delimiter characters.  The
// tokenizer holds its own copies of the text and of the delimiter set, and a
// cursor into its copy.  Adjacent delimiters give empty fields, a delimiter at
// the very end of the text gives no further field, and an empty text gives
// no field at all.
class FieldTokenizer {
public:
    FieldTokenizer(const char* text, const char* delimiters);
    FieldTokenizer(const FieldTokenizer&) = delete;
    FieldTokenizer& operator=(const FieldTokenizer&) = delete;

    // The next field as zero-terminated text (valid while the tokenizer
    // lives), or nullptr when the text is used up.
    const char* NextField();

private:
    bool IsDelimiter(char c) const;

    std::unique_ptr<char[]> m_pText;  // null when there is no text copy
    std::unique_ptr<char[]> m_pDelimiters;
    char* m_pCursor = nullptr;  // null once the text is used up
};

// Reads a coordinate field such as "47.3769 N" or "12.5S": the decimal
// degrees at its start, negated when the next non-blank character is "S" or
// "W".  Returns TRUE when a hemisphere letter (N, E, S or W) was found.
BOOL ParseCoordinate(const char* field, DOUBLE* value);

// Results of ParseSatelliteRecord and ParseXLCSLSR.
enum XLCSLSR_RESULT : int {
    XLCSLSR_PARSED = 0,         // complete
    XLCSLSR_NO_SPACE = 1,       // the line has no blank (or a null argument): nothing parsed
    XLCSLSR_TOO_SHORT = 2,      // the fields ran out; FixTimeStamp is not set
    XLCSLSR_UNKNOWN_SHAPE = 4,  // shape other than 0 to 3: nothing else parsed
};

// Reads one satellite record of eight fields (elevation, azimuth, signal to
// noise ratio, used in the fix, three fields not used, satellite id) into
// info.  XLCSLSR_PARSED, or XLCSLSR_TOO_SHORT when the fields ran out.
int ParseSatelliteRecord(FieldTokenizer& tokenizer, GNSS_SATELLITEINFO* info);

// Parses a position report line into a record that the caller created
// zero-filled.  Writes the position, accuracy, satellites and, when the date
// and time make a valid UTC time, FixTimeStamp; other fields stay as they are.
int ParseXLCSLSR(const char* line, GNSS_FIXDATA* record);

// The number readers shared by the parser and the receive path.
//
// ReadInteger: the decimal integer at the start of the text the way the C
// atoi function reads it (leading white space, optional sign, digits up to the
// first non-digit; 0 when there are none).  Values beyond the 32-bit range
// saturate instead of overflowing.
LONG ReadInteger(std::string_view text);
