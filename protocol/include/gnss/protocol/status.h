// NTSTATUS and HRESULT values used by the driver, its framework and its clients,
// and the function that names them for logs and user-facing messages.
#pragma once

#include <cstdio>

#include "gnss/protocol/types.h"

constexpr bool NT_SUCCESS(NTSTATUS s) { return s >= 0; }
constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

#define GNSS_STATUS_LIST(X)                                             \
    X(STATUS_SUCCESS, 0x00000000u)                                      \
    X(STATUS_TIMEOUT, 0x00000102u)                                      \
    X(STATUS_PENDING, 0x00000103u)                                      \
    X(STATUS_DEVICE_BUSY, 0x80000011u)                                  \
    X(STATUS_NO_MORE_ENTRIES, 0x8000001Au)                              \
    X(STATUS_UNSUCCESSFUL, 0xC0000001u)                                 \
    X(STATUS_NOT_IMPLEMENTED, 0xC0000002u)                              \
    X(STATUS_INVALID_HANDLE, 0xC0000008u)                               \
    X(STATUS_INVALID_PARAMETER, 0xC000000Du)                            \
    X(STATUS_NO_SUCH_DEVICE, 0xC000000Eu)                               \
    X(STATUS_INVALID_DEVICE_REQUEST, 0xC0000010u)                       \
    X(STATUS_NO_MEMORY, 0xC0000017u)                                    \
    X(STATUS_ACCESS_DENIED, 0xC0000022u)                                \
    X(STATUS_BUFFER_TOO_SMALL, 0xC0000023u)                             \
    X(STATUS_DELETE_PENDING, 0xC0000056u)                               \
    X(STATUS_INSUFFICIENT_RESOURCES, 0xC000009Au)                       \
    X(STATUS_DEVICE_DATA_ERROR, 0xC000009Cu)                            \
    X(STATUS_DEVICE_NOT_CONNECTED, 0xC000009Du)                         \
    X(STATUS_IO_TIMEOUT, 0xC00000B5u)                                   \
    X(STATUS_NOT_SUPPORTED, 0xC00000BBu)                                \
    X(STATUS_INTERNAL_ERROR, 0xC00000E5u)                               \
    X(STATUS_CANCELLED, 0xC0000120u)                                    \
    X(STATUS_FILE_CLOSED, 0xC0000128u)                                  \
    X(STATUS_INVALID_DEVICE_STATE, 0xC0000184u)                         \
    X(STATUS_INVALID_BUFFER_SIZE, 0xC0000206u)                          \
    X(STATUS_NOT_FOUND, 0xC0000225u)                                    \
    X(STATUS_DEVICE_REMOVED, 0xC00002B6u)                               \
    X(STATUS_POWER_STATE_INVALID, 0xC00002D3u)

#define GNSS_HRESULT_LIST(X)                                            \
    X(S_OK, 0x00000000u)                                                \
    X(S_FALSE, 0x00000001u)                                             \
    X(E_NOTIMPL, 0x80004001u)                                           \
    X(E_POINTER, 0x80004003u)                                           \
    X(E_FAIL, 0x80004005u)                                              \
    X(E_ACCESSDENIED, 0x80070005u)                                      \
    X(E_OUTOFMEMORY, 0x8007000Eu)                                       \
    X(E_INVALIDARG, 0x80070057u)                                        \
    X(HRESULT_DEVICE_UNREACHABLE, 0x80070141u)                          \
    X(HRESULT_INTERNAL_ERROR, 0x8007054Fu)                              \
    X(HRESULT_NT_INVALID_PARAMETER, 0xD000000Du)

#define GNSS_DEFINE_STATUS(name, value) \
    inline constexpr NTSTATUS name = static_cast<NTSTATUS>(value);
#define GNSS_DEFINE_HRESULT(name, value) \
    inline constexpr HRESULT name = static_cast<HRESULT>(value);
GNSS_STATUS_LIST(GNSS_DEFINE_STATUS)
GNSS_HRESULT_LIST(GNSS_DEFINE_HRESULT)
#undef GNSS_DEFINE_STATUS
#undef GNSS_DEFINE_HRESULT

namespace gnss {

// The symbolic name of a status or HRESULT value, or nullptr when it has none.
// 0 is named STATUS_SUCCESS; the HRESULT-only values keep their HRESULT names.
constexpr const char* StatusName(std::uint32_t value) {
    switch (value) {
#define GNSS_STATUS_CASE(name, v) \
    case v:                       \
        return #name;
        GNSS_STATUS_LIST(GNSS_STATUS_CASE)
#undef GNSS_STATUS_CASE
        case 0x00000001u: return "S_FALSE";
        case 0x80004001u: return "E_NOTIMPL";
        case 0x80004003u: return "E_POINTER";
        case 0x80004005u: return "E_FAIL";
        case 0x80070005u: return "E_ACCESSDENIED";
        case 0x8007000Eu: return "E_OUTOFMEMORY";
        case 0x80070057u: return "E_INVALIDARG";
        case 0x80070141u: return "HRESULT_FROM_WIN32(ERROR_DEVICE_UNREACHABLE)";
        case 0x8007054Fu: return "HRESULT_FROM_WIN32(ERROR_INTERNAL_ERROR)";
        case 0xD000000Du: return "HRESULT_FROM_NT(STATUS_INVALID_PARAMETER)";
        default: return nullptr;
    }
}

constexpr const char* StatusName(std::int32_t value) {
    return StatusName(static_cast<std::uint32_t>(value));
}

// Writes "NAME (0xXXXXXXXX)", or "0xXXXXXXXX" for an unnamed value, into buf.
inline const char* FormatStatus(std::uint32_t value, char* buf, std::size_t size) {
    if (const char* name = StatusName(value))
        std::snprintf(buf, size, "%s (0x%08X)", name, value);
    else
        std::snprintf(buf, size, "0x%08X", value);
    return buf;
}

}  // namespace gnss
