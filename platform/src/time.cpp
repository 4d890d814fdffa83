#include "gnss/platform/time.h"

#include <ctime>

namespace gnss::os {
namespace {

constexpr ULONGLONG kTicksPerMillisecond = 10'000;
constexpr ULONGLONG kTicksPerSecond = 10'000'000;
constexpr ULONGLONG kTicksPerDay = 86'400 * kTicksPerSecond;
constexpr long long kDaysFrom1601To1970 = 134'774;

constexpr bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// Days since 1970-01-01 of a proleptic Gregorian date.
constexpr long long DaysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

constexpr void CivilFromDays(long long z, long long& y, unsigned& m, unsigned& d) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<long long>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

static_assert(DaysFromCivil(1601, 1, 1) == -kDaysFrom1601To1970);

}  // namespace

int DaysInMonth(int year, int month) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* st, FILETIME* ft) {
    if (st == nullptr || ft == nullptr) return FALSE;
    if (st->wYear < 1601 || st->wYear > 30827) return FALSE;
    if (st->wMonth < 1 || st->wMonth > 12) return FALSE;
    if (st->wDay < 1 || st->wDay > DaysInMonth(st->wYear, st->wMonth)) return FALSE;
    if (st->wHour >= 24 || st->wMinute >= 60 || st->wSecond >= 60 || st->wMilliseconds >= 1000)
        return FALSE;
    const long long days = DaysFromCivil(st->wYear, st->wMonth, st->wDay) + kDaysFrom1601To1970;
    const ULONGLONG ticks = static_cast<ULONGLONG>(days) * kTicksPerDay +
                            (static_cast<ULONGLONG>(st->wHour) * 3600 + st->wMinute * 60ULL +
                             st->wSecond) * kTicksPerSecond +
                            st->wMilliseconds * kTicksPerMillisecond;
    *ft = U64ToFileTime(ticks);
    return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME* ft, SYSTEMTIME* st) {
    if (ft == nullptr || st == nullptr) return FALSE;
    const ULONGLONG ticks = FileTimeToU64(*ft);
    if (ticks >= 0x8000000000000000ULL) return FALSE;
    const long long days = static_cast<long long>(ticks / kTicksPerDay);
    ULONGLONG rest = ticks % kTicksPerDay;
    long long y;
    unsigned m, d;
    CivilFromDays(days - kDaysFrom1601To1970, y, m, d);
    st->wYear = static_cast<WORD>(y);
    st->wMonth = static_cast<WORD>(m);
    st->wDay = static_cast<WORD>(d);
    st->wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
    st->wHour = static_cast<WORD>(rest / (3600 * kTicksPerSecond));
    rest %= 3600 * kTicksPerSecond;
    st->wMinute = static_cast<WORD>(rest / (60 * kTicksPerSecond));
    rest %= 60 * kTicksPerSecond;
    st->wSecond = static_cast<WORD>(rest / kTicksPerSecond);
    rest %= kTicksPerSecond;
    st->wMilliseconds = static_cast<WORD>(rest / kTicksPerMillisecond);
    return TRUE;
}

void GetSystemTimeAsFileTime(FILETIME* ft) {
    if (ft == nullptr) return;
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    const ULONGLONG ticks =
        static_cast<ULONGLONG>(static_cast<long long>(ts.tv_sec) + kDaysFrom1601To1970 * 86'400) *
            kTicksPerSecond +
        static_cast<ULONGLONG>(ts.tv_nsec) / 100;
    *ft = U64ToFileTime(ticks);
}

void GetSystemTime(SYSTEMTIME* st) {
    if (st == nullptr) return;
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    FileTimeToSystemTime(&ft, st);
}

}  // namespace gnss::os
