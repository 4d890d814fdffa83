// Scalar types of the GNSS driver interface.
//
// The published GNSS driver interface and the driver itself are written with
// fixed-width 32-bit integers (ULONG, DWORD, BOOL), 100 ns FILETIME stamps and
// NTSTATUS/HRESULT status words.  These definitions give them the exact widths
// and layouts the interface structures need, independent of the host's own
// `long` (which is 64 bits on Linux).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

using BYTE = std::uint8_t;
using UCHAR = std::uint8_t;
using CHAR = char;
using BOOLEAN = std::uint8_t;
using WORD = std::uint16_t;
using USHORT = std::uint16_t;
using WCHAR = char16_t;
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using UINT = std::uint32_t;
using LONG = std::int32_t;
using INT = std::int32_t;
using BOOL = std::int32_t;
using ULONGLONG = std::uint64_t;
using LONGLONG = std::int64_t;
using ULONG64 = std::uint64_t;
using NTSTATUS = std::int32_t;
using HRESULT = std::int32_t;
using FLOAT = float;
using DOUBLE = double;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

// 100-nanosecond intervals since 1601-01-01 00:00:00 UTC, split in two halves.
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

// Broken-down calendar time, as the conversions to and from FILETIME use it.
struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];

    friend constexpr bool operator==(const GUID& a, const GUID& b) {
        if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
        for (int i = 0; i < 8; ++i)
            if (a.Data4[i] != b.Data4[i]) return false;
        return true;
    }
};

static_assert(sizeof(FILETIME) == 8 && alignof(FILETIME) == 4);
static_assert(sizeof(SYSTEMTIME) == 16);
static_assert(sizeof(GUID) == 16);
static_assert(sizeof(BOOL) == 4 && sizeof(ULONG) == 4 && sizeof(WCHAR) == 2);

namespace gnss {

inline constexpr ULONGLONG FileTimeToU64(const FILETIME& ft) {
    return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

inline constexpr FILETIME U64ToFileTime(ULONGLONG v) {
    return FILETIME{static_cast<DWORD>(v & 0xFFFFFFFFu), static_cast<DWORD>(v >> 32)};
}

// Formats a GUID as {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX} into buf (39 bytes with the NUL).
inline void FormatGuid(const GUID& g, char* buf, std::size_t size) {
    std::snprintf(buf, size, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
}

}  // namespace gnss
