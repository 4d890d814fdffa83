// Builders and decoders of the published GNSS structures (interface version 3).
//
// Builders return the bytes of a request's input, zero-filled, with Size and
// Version set; those with variable-length data append it where the
// structure's trailing array begins.  Decoders check the length of what the
// driver returned and throw FormatError naming the structure when it is short
// or inconsistent.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "gnss/client/error.h"
#include "gnss/protocol/gnss_ddi.h"

namespace gnss::client {

using Bytes = std::vector<std::uint8_t>;

// --- input structures ----------------------------------------------------------

Bytes BuildPlatformCapability(bool supportAgnssInjection, ULONG agnssFormatSupported);

// A driver command with `data` as its command data (CommandDataSize bytes).
Bytes BuildDriverCommand(GNSS_DRIVERCOMMAND_TYPE type, std::span<const std::uint8_t> data = {});
// A driver command whose data is one 32-bit value (native byte order); the
// commands that read a byte read its lowest byte on little-endian machines.
Bytes BuildDriverCommandValue(GNSS_DRIVERCOMMAND_TYPE type, std::uint32_t value);

struct FixSessionParameters {
    ULONG sessionId = 0;
    GNSS_FIXSESSIONTYPE type = GNSS_FixSession_SingleShot;
    ULONG horizontalAccuracy = 0;    // metres, 0: no preference
    ULONG horizontalConfidence = 0;  // percent
    ULONG levelOfDetails = GNSS_FIXDETAIL_BASIC | GNSS_FIXDETAIL_ACCURACY;
    // The one value of the type's parameter block: single-shot response time
    // (seconds), distance-tracking movement threshold (metres) or
    // continuous-tracking interval (seconds); unused for LKG.
    ULONG typeValue = 0;
};
Bytes BuildFixSession(const FixSessionParameters& parameters);
Bytes BuildStopFixSession(ULONG sessionId);

// The SUPL server addresses ("host" or "host:port"); each at most 259 bytes.
Bytes BuildSuplHslp(std::string_view hslp, std::string_view hslpFromImsi = {});
// A certificate action; the name is at most 259 bytes.
Bytes BuildSuplCert(GNSS_SUPL_CERT_ACTION action, std::string_view name,
                    std::span<const std::uint8_t> certificate = {});

// Assistance data.  `status` is the injection status; the data counts only
// when it is a success.
Bytes BuildAgnssTimeInjection(FILETIME utcTime, ULONG uncertaintyMs,
                              NTSTATUS status = STATUS_SUCCESS);
Bytes BuildAgnssPositionInjection(const GNSS_FIXDATA_BASIC& basic,
                                  const GNSS_FIXDATA_ACCURACY& accuracy, ULONG ageSeconds,
                                  NTSTATUS status = STATUS_SUCCESS);
Bytes BuildAgnssBlobInjection(ULONG blobOui, ULONG blobVersion, ULONG agnssFormat,
                              std::span<const std::uint8_t> blob, NTSTATUS status = STATUS_SUCCESS);

Bytes BuildNiResponse(ULONG requestId, GNSS_NI_USER_RESPONSE response);

Bytes BuildSelfTestConfig(ULONG testType, std::span<const std::uint8_t> input = {});

// --- output structures ---------------------------------------------------------

GNSS_DEVICE_CAPABILITY DecodeDeviceCapability(std::span<const std::uint8_t> bytes);

struct ChipsetInfo {
    ULONG size = 0;
    ULONG version = 0;
    std::string manufacturerId;  // UTF-8
    std::string hardwareId;
    std::string firmwareVersion;
};
ChipsetInfo DecodeChipsetInfo(std::span<const std::uint8_t> bytes);

struct SelfTestResult {
    NTSTATUS testResultStatus = STATUS_SUCCESS;
    ULONG result = 0;
    ULONG pinFailedBitMask = 0;
    Bytes output;  // OutBufLen bytes from OutBuffer
};
SelfTestResult DecodeSelfTestResult(std::span<const std::uint8_t> bytes);

// The driver's service-status report: the receiver went on (1) or off (0).
struct ServiceStatus {
    ULONG status = 0;
};

struct NmeaData {
    std::string sentences;  // up to the first NUL
};

struct ErrorInfo {
    HRESULT errorCode = 0;
    bool recoverable = false;
    std::string description;  // UTF-8
};

// A GNSS_EVENT with its data decoded by EventType.  Custom events carry
// either the driver's service status or their raw bytes.
struct Event {
    GNSS_EVENT_TYPE type{};
    ULONG dataSize = 0;
    std::variant<std::monostate, GNSS_FIXDATA, GNSS_AGNSS_REQUEST_PARAM, ErrorInfo,
                 GNSS_NI_REQUEST_PARAM, NmeaData, GNSS_DRIVER_REQUEST_DATA, ServiceStatus, Bytes>
        data;
};
Event DecodeEvent(std::span<const std::uint8_t> bytes);

// --- text ------------------------------------------------------------------------

// UTF-16 text of at most `capacity` units, up to the first NUL, as UTF-8.
std::string Utf16ToUtf8(const WCHAR* text, std::size_t capacity);

}  // namespace gnss::client
