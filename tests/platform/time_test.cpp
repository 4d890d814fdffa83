#include <gtest/gtest.h>

#include <ctime>

#include "gnss/platform/time.h"

using namespace gnss::os;

namespace {

SYSTEMTIME Make(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(mo);
    st.wDay = static_cast<WORD>(d);
    st.wHour = static_cast<WORD>(h);
    st.wMinute = static_cast<WORD>(mi);
    st.wSecond = static_cast<WORD>(s);
    st.wMilliseconds = static_cast<WORD>(ms);
    return st;
}

bool Converts(const SYSTEMTIME& st) {
    FILETIME ft{0xDEAD, 0xBEEF};
    return SystemTimeToFileTime(&st, &ft) == TRUE;
}

}  // namespace

TEST(Time, KnownInstantsConvertBothWays) {
    // 2024-03-05 07:08:09 UTC is Unix time 1709622489.
    const SYSTEMTIME st = Make(2024, 3, 5, 7, 8, 9);
    FILETIME ft{};
    ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
    EXPECT_EQ(gnss::FileTimeToU64(ft), (1709622489ULL + 11644473600ULL) * 10'000'000ULL);

    SYSTEMTIME back{};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
    EXPECT_EQ(back.wYear, 2024);
    EXPECT_EQ(back.wMonth, 3);
    EXPECT_EQ(back.wDay, 5);
    EXPECT_EQ(back.wHour, 7);
    EXPECT_EQ(back.wMinute, 8);
    EXPECT_EQ(back.wSecond, 9);
    EXPECT_EQ(back.wMilliseconds, 0);
    EXPECT_EQ(back.wDayOfWeek, 2);  // a Tuesday

    // The epoch itself, and milliseconds surviving the round trip.
    const SYSTEMTIME epoch = Make(1601, 1, 1);
    ASSERT_TRUE(SystemTimeToFileTime(&epoch, &ft));
    EXPECT_EQ(gnss::FileTimeToU64(ft), 0u);
    const SYSTEMTIME late = Make(2200, 1, 1, 23, 59, 59, 999);
    ASSERT_TRUE(SystemTimeToFileTime(&late, &ft));
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
    EXPECT_EQ(back.wYear, 2200);
    EXPECT_EQ(back.wMilliseconds, 999);
    EXPECT_EQ(back.wSecond, 59);
}

TEST(Time, RefusesExactlyTheInvalidDates) {
    EXPECT_FALSE(Converts(Make(24, 3, 5, 7, 8, 9)));  // two-digit year
    EXPECT_FALSE(Converts(Make(1600, 12, 31)));
    EXPECT_FALSE(Converts(Make(30828, 1, 1)));
    EXPECT_FALSE(Converts(Make(2024, 0, 1)));
    EXPECT_FALSE(Converts(Make(2024, 13, 1)));
    EXPECT_FALSE(Converts(Make(2024, 1, 0)));
    EXPECT_FALSE(Converts(Make(2024, 4, 31)));
    EXPECT_TRUE(Converts(Make(2024, 2, 29)));   // leap year
    EXPECT_FALSE(Converts(Make(2023, 2, 29)));  // not a leap year
    EXPECT_FALSE(Converts(Make(1900, 2, 29)));  // century, not leap
    EXPECT_TRUE(Converts(Make(2000, 2, 29)));   // 400-year rule
    EXPECT_FALSE(Converts(Make(2024, 1, 1, 24)));
    EXPECT_FALSE(Converts(Make(2024, 1, 1, 0, 60)));
    EXPECT_FALSE(Converts(Make(2024, 1, 1, 0, 0, 60)));
    EXPECT_FALSE(Converts(Make(2024, 1, 1, 0, 0, 0, 1000)));
    EXPECT_TRUE(Converts(Make(30827, 12, 31, 23, 59, 59, 999)));

    // A failed conversion leaves the output alone; null pointers fail.
    FILETIME ft{1, 2};
    const SYSTEMTIME bad = Make(2024, 2, 30);
    EXPECT_FALSE(SystemTimeToFileTime(&bad, &ft));
    EXPECT_EQ(ft.dwLowDateTime, 1u);
    EXPECT_FALSE(SystemTimeToFileTime(nullptr, &ft));

    FILETIME huge = gnss::U64ToFileTime(0x8000000000000000ULL);
    SYSTEMTIME out{};
    EXPECT_FALSE(FileTimeToSystemTime(&huge, &out));
}

TEST(Time, CurrentTimeIsUtcNow) {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    FILETIME ft{};
    ASSERT_TRUE(SystemTimeToFileTime(&now, &ft));
    const auto unixSeconds =
        static_cast<long long>(gnss::FileTimeToU64(ft) / 10'000'000ULL) - 11644473600LL;
    EXPECT_LE(std::llabs(unixSeconds - static_cast<long long>(std::time(nullptr))), 2);
}
