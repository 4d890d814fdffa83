// The position report parser.
#include "at/PositionReport.h"

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "Trace.h"
#include "gnss/platform/time.h"

namespace {

// Fields of the common tail that the parser steps over, in groups.
constexpr int kTailFieldsAfterSpeed = 1;  // before the speed accuracy
constexpr int kTailFieldsBeforeDop = 5;
constexpr int kTailFieldsAfterDop = 7;
constexpr int kTailReservedFields = 32;
constexpr int kSatelliteGroups = 4;

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::unique_ptr<char[]> CopyText(const char* text) {
    if (text == nullptr) return nullptr;
    const std::size_t length = std::strlen(text);
    std::unique_ptr<char[]> copy(new (std::nothrow) char[length + 1]);
    if (copy) std::memcpy(copy.get(), text, length + 1);
    return copy;
}

// A decimal number read by the C strtod rules; 0 for an empty field.
DOUBLE ReadReal(const char* field) { return *field == '\0' ? 0.0 : std::strtod(field, nullptr); }

// A decimal number truncated toward zero into a 32-bit field.  Values the
// 32-bit range cannot hold saturate (a negative value keeps its two's
// complement form, as a plain integer conversion gives it); not-a-number reads as 0.
ULONG ReadWhole(const char* field) {
    const double value = std::trunc(ReadReal(field));
    if (std::isnan(value)) return 0;
    if (value >= 4294967295.0) return 0xFFFFFFFFu;
    if (value <= -2147483648.0) return 0x80000000u;
    if (value < 0) return static_cast<ULONG>(static_cast<LONG>(value));
    return static_cast<ULONG>(value);
}

// A dilution of precision, rounded to single precision (an overflow becomes infinity).
FLOAT ReadDop(const char* field) {
    const double value = ReadReal(field);
    if (std::isfinite(value) && std::fabs(value) > FLT_MAX)
        return value > 0 ? HUGE_VALF : -HUGE_VALF;
    return static_cast<FLOAT>(value);
}

// Reads "n<sep>n<sep>n" the way the pattern "%hu<sep>%hu<sep>%hu" does:
// each number after optional white space and an optional sign; the reading
// stops at the first piece that does not match, leaving the remaining
// numbers untouched.  A number that is negative or above 65535 reads as
// 65535, which no calendar field accepts, so it can never alias a valid date.
void ReadTriple(const char* text, char separator, WORD* out) {
    const char* p = text;
    for (int k = 0; k < 3; ++k) {
        if (k > 0) {
            if (*p != separator) return;
            ++p;
        }
        while (IsSpace(*p)) ++p;
        bool negative = false;
        if (*p == '+' || *p == '-') negative = *p++ == '-';
        if (!IsDigit(*p)) return;
        unsigned long value = 0;
        while (IsDigit(*p)) {
            value = value * 10 + static_cast<unsigned long>(*p++ - '0');
            if (value > 0xFFFF) value = 0x10000;  // saturate, keep reading the digits
        }
        if (negative && value != 0) value = 0x10000;
        out[k] = static_cast<WORD>(value > 0xFFFF ? 0xFFFF : value);
    }
}

bool Skip(FieldTokenizer& tokenizer, int count) {
    for (int i = 0; i < count; ++i)
        if (tokenizer.NextField() == nullptr) return false;
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------

FieldTokenizer::FieldTokenizer(const char* text, const char* delimiters)
    : m_pText(CopyText(text)), m_pDelimiters(CopyText(delimiters == nullptr ? "" : delimiters)) {
    if (!m_pDelimiters) m_pText.reset();  // without its delimiter set the tokenizer has no text
    m_pCursor = m_pText.get();
}

bool FieldTokenizer::IsDelimiter(char c) const {
    return c != '\0' && std::strchr(m_pDelimiters.get(), c) != nullptr;
}

const char* FieldTokenizer::NextField() {
    if (!m_pText || m_pCursor == nullptr || *m_pCursor == '\0') return nullptr;
    char* field = m_pCursor;
    char* end = field;
    while (*end != '\0' && !IsDelimiter(*end)) ++end;
    if (*end != '\0') {
        *end = '\0';
        m_pCursor = end + 1;
    } else {
        m_pCursor = nullptr;
    }
    return field;
}

// ---------------------------------------------------------------------------

LONG ReadInteger(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > 2147483648LL) value = 2147483648LL;  // saturate
    }
    if (negative) value = -value;
    if (value > 2147483647LL) value = 2147483647LL;
    return static_cast<LONG>(value);
}

BOOL ParseCoordinate(const char* field, DOUBLE* value) {
    if (field == nullptr) return FALSE;
    char* end = nullptr;
    DOUBLE degrees = std::strtod(field, &end);
    while (*end == ' ' || *end == '\t') ++end;
    BOOL hemisphere = FALSE;
    if (*end == 'N' || *end == 'E') {
        hemisphere = TRUE;
    } else if (*end == 'S' || *end == 'W') {
        hemisphere = TRUE;
        degrees = -degrees;
    }
    if (value != nullptr) *value = degrees;
    return hemisphere;
}

int ParseSatelliteRecord(FieldTokenizer& tokenizer, GNSS_SATELLITEINFO* info) {
    GNSS_SATELLITEINFO record{};
    const char* field = nullptr;
    if ((field = tokenizer.NextField()) == nullptr) return XLCSLSR_TOO_SHORT;
    record.Elevation = ReadReal(field);
    if ((field = tokenizer.NextField()) == nullptr) return XLCSLSR_TOO_SHORT;
    record.Azimuth = ReadReal(field);
    if ((field = tokenizer.NextField()) == nullptr) return XLCSLSR_TOO_SHORT;
    record.SignalToNoiseRatio = ReadReal(field);
    if ((field = tokenizer.NextField()) == nullptr) return XLCSLSR_TOO_SHORT;
    record.UsedInPositiong = ReadInteger(field);
    if (!Skip(tokenizer, 3)) return XLCSLSR_TOO_SHORT;
    if ((field = tokenizer.NextField()) == nullptr) return XLCSLSR_TOO_SHORT;
    record.SatelliteId = static_cast<ULONG>(ReadInteger(field));
    if (info != nullptr) *info = record;
    return XLCSLSR_PARSED;
}

int ParseXLCSLSR(const char* line, GNSS_FIXDATA* record) {
    if (line == nullptr || record == nullptr) return XLCSLSR_NO_SPACE;
    const char* blank = std::strchr(line, ' ');
    if (blank == nullptr) return XLCSLSR_NO_SPACE;

    // The fields run from the blank on; the number reading of the shape skips it.
    FieldTokenizer tokenizer(blank, ",");
    const char* field = tokenizer.NextField();
    if (field == nullptr) return XLCSLSR_TOO_SHORT;
    const LONG shape = ReadInteger(field);
    if (shape < 0 || shape > 3) return XLCSLSR_UNKNOWN_SHAPE;

    GNSS_FIXDATA_BASIC& basic = record->BasicData;
    GNSS_FIXDATA_ACCURACY& accuracy = record->AccuracyData;

    // Latitude and longitude, common to every shape; a missing coordinate is
    // skipped here and the next field that must be present ends the parse.
    if ((field = tokenizer.NextField()) != nullptr) ParseCoordinate(field, &basic.Latitude);
    if ((field = tokenizer.NextField()) != nullptr) ParseCoordinate(field, &basic.Longitude);

    switch (shape) {
        case 0: {  // point with uncertainty circle
            if ((field = tokenizer.NextField()) == nullptr) return XLCSLSR_TOO_SHORT;
            const ULONG radius = ReadWhole(field);
            accuracy.HorizontalAccuracy = radius;
            accuracy.HorizontalErrorMajorAxis = radius;
            accuracy.HorizontalErrorMinorAxis = radius;
            break;
        }
        case 1: {  // point with uncertainty ellipse
            if ((field = tokenizer.NextField()) == nullptr) return XLCSLSR_TOO_SHORT;
            accuracy.HorizontalErrorMajorAxis = ReadWhole(field);
            accuracy.HorizontalAccuracy = accuracy.HorizontalErrorMajorAxis;
            if ((field = tokenizer.NextField()) == nullptr) return XLCSLSR_TOO_SHORT;
            accuracy.HorizontalErrorMinorAxis = ReadWhole(field);
            if (!Skip(tokenizer, 2)) return XLCSLSR_TOO_SHORT;  // orientation, confidence
            break;
        }
        case 2: {  // point with altitude and uncertainty ellipsoid
            if ((field = tokenizer.NextField()) == nullptr) return XLCSLSR_TOO_SHORT;
            basic.Altitude = ReadReal(field);
            if ((field = tokenizer.NextField()) == nullptr) return XLCSLSR_TOO_SHORT;
            accuracy.HorizontalErrorMajorAxis = ReadWhole(field);
            accuracy.HorizontalAccuracy = accuracy.HorizontalErrorMajorAxis;
            if ((field = tokenizer.NextField()) == nullptr) return XLCSLSR_TOO_SHORT;
            accuracy.HorizontalErrorMinorAxis = ReadWhole(field);
            if (!Skip(tokenizer, 1)) return XLCSLSR_TOO_SHORT;  // orientation
            if ((field = tokenizer.NextField()) == nullptr) return XLCSLSR_TOO_SHORT;
            accuracy.AltitudeAccuracy = ReadWhole(field);
            if (!Skip(tokenizer, 1)) return XLCSLSR_TOO_SHORT;  // confidence
            break;
        }
        default: {                                              // 3: arc
            if (!Skip(tokenizer, 1)) return XLCSLSR_TOO_SHORT;  // inner radius
            if ((field = tokenizer.NextField()) == nullptr) return XLCSLSR_TOO_SHORT;
            const ULONG radius = ReadWhole(field);
            accuracy.HorizontalAccuracy = radius;
            accuracy.HorizontalErrorMajorAxis = radius;
            accuracy.HorizontalErrorMinorAxis = radius;
            if (!Skip(tokenizer, 3)) return XLCSLSR_TOO_SHORT;  // angles, confidence
            break;
        }
    }

    // The common tail.  The date and time are converted only at the end.
    const char* date = tokenizer.NextField();
    if (date == nullptr) return XLCSLSR_TOO_SHORT;
    const char* time = tokenizer.NextField();
    if (time == nullptr) return XLCSLSR_TOO_SHORT;
    if (!Skip(tokenizer, 2)) return XLCSLSR_TOO_SHORT;
    if ((field = tokenizer.NextField()) == nullptr) return XLCSLSR_TOO_SHORT;
    basic.Heading = ReadReal(field);
    if ((field = tokenizer.NextField()) == nullptr) return XLCSLSR_TOO_SHORT;
    basic.Speed = ReadReal(field);
    if (!Skip(tokenizer, kTailFieldsAfterSpeed)) return XLCSLSR_TOO_SHORT;
    if ((field = tokenizer.NextField()) == nullptr) return XLCSLSR_TOO_SHORT;
    accuracy.SpeedAccuracy = ReadWhole(field);
    if (!Skip(tokenizer, kTailFieldsBeforeDop)) return XLCSLSR_TOO_SHORT;
    if ((field = tokenizer.NextField()) == nullptr) return XLCSLSR_TOO_SHORT;
    accuracy.PositionDilutionOfPrecision = ReadDop(field);
    if ((field = tokenizer.NextField()) == nullptr) return XLCSLSR_TOO_SHORT;
    accuracy.HorizontalDilutionOfPrecision = ReadDop(field);
    if ((field = tokenizer.NextField()) == nullptr) return XLCSLSR_TOO_SHORT;
    accuracy.VerticalDilutionOfPrecision = ReadDop(field);
    if (!Skip(tokenizer, kTailFieldsAfterDop)) return XLCSLSR_TOO_SHORT;
    if (!Skip(tokenizer, kTailReservedFields)) return XLCSLSR_TOO_SHORT;

    // Satellites: up to four groups, each a count and that many records.  A
    // record cut short ends the section; the records before it are kept.
    ULONG stored = 0;
    for (int group = 0; group < kSatelliteGroups; ++group) {
        if ((field = tokenizer.NextField()) == nullptr) break;
        const LONG count = ReadInteger(field);
        bool cutShort = false;
        for (LONG index = 0; index < count; ++index) {
            if (stored >= GNSS_MAXSATELLITE) break;
            if (ParseSatelliteRecord(tokenizer, &record->SatelliteData.SatelliteArray[stored]) !=
                XLCSLSR_PARSED) {
                GnssLog(GNSS_LEVEL_WARNING,
                        "[%s] %s WARNING: Failed to parse satellite information for Constel ID=%d, "
                        "SatelliteIndex=%d",
                        TAG_PARSER, __func__, group, static_cast<int>(index));
                cutShort = true;
                break;
            }
            ++stored;
        }
        if (cutShort) break;
    }
    record->SatelliteData.SatelliteCount = stored;

    // The fix time: a report whose date and time do not make a valid UTC time
    // keeps FixTimeStamp 0 and is dropped by the receive path.
    SYSTEMTIME st{};
    WORD ymd[3] = {0, 0, 0};
    WORD hms[3] = {0, 0, 0};
    ReadTriple(date, '/', ymd);
    ReadTriple(time, ':', hms);
    st.wYear = ymd[0];
    st.wMonth = ymd[1];
    st.wDay = ymd[2];
    st.wHour = hms[0];
    st.wMinute = hms[1];
    st.wSecond = hms[2];
    FILETIME stamp{};
    if (gnss::os::SystemTimeToFileTime(&st, &stamp)) record->FixTimeStamp = stamp;
    return XLCSLSR_PARSED;
}
