#include "gnss/client/structures.h"

#include <algorithm>
#include <cstring>

namespace gnss::client {
namespace {

// A zeroed buffer of `size` bytes whose start is a T with Size and Version set.
template <class T>
Bytes Start(std::size_t size = sizeof(T)) {
    Bytes bytes(std::max(size, sizeof(T)), 0);
    T header{};
    header.Size = sizeof(T);
    header.Version = GNSS_INTERFACE_VERSION;
    std::memcpy(bytes.data(), &header, sizeof header);
    return bytes;
}

template <class T>
T Read(std::span<const std::uint8_t> bytes, std::size_t offset = 0) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

template <class T>
void Write(Bytes& bytes, const T& value, std::size_t offset = 0) {
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}

template <class Field>
void WriteField(Bytes& bytes, std::size_t offset, Field value) {
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}

void CopyText(Bytes& bytes, std::size_t offset, std::size_t capacity, std::string_view text,
              const char* what) {
    if (text.size() >= capacity)
        throw FormatError(std::string(what) + " is " + std::to_string(text.size()) +
                          " bytes long; at most " + std::to_string(capacity - 1) + " fit");
    if (text.find('\0') != std::string_view::npos)
        throw FormatError(std::string(what) + " contains a NUL character");
    if (!text.empty()) std::memcpy(bytes.data() + offset, text.data(), text.size());
}

void Append(Bytes& bytes, std::size_t offset, std::span<const std::uint8_t> data) {
    if (!data.empty()) std::memcpy(bytes.data() + offset, data.data(), data.size());
}

void NeedAtLeast(std::span<const std::uint8_t> bytes, std::size_t size, const char* what) {
    if (bytes.size() < size)
        throw FormatError(std::string(what) + ": " + std::to_string(bytes.size()) +
                          " bytes, at least " + std::to_string(size) + " needed");
}

ULONG DataSize(std::size_t size, const char* what) {
    if (size > 0xFFFF'FFFFu) throw FormatError(std::string(what) + " too large");
    return static_cast<ULONG>(size);
}

}  // namespace

// --- builders ---------------------------------------------------------------------

Bytes BuildPlatformCapability(bool supportAgnssInjection, ULONG agnssFormatSupported) {
    Bytes bytes = Start<GNSS_PLATFORM_CAPABILITY>();
    WriteField(bytes, offsetof(GNSS_PLATFORM_CAPABILITY, SupportAgnssInjection),
               static_cast<BOOL>(supportAgnssInjection));
    WriteField(bytes, offsetof(GNSS_PLATFORM_CAPABILITY, AgnssFormatSupported), agnssFormatSupported);
    return bytes;
}

Bytes BuildDriverCommand(GNSS_DRIVERCOMMAND_TYPE type, std::span<const std::uint8_t> data) {
    constexpr std::size_t kData = offsetof(GNSS_DRIVERCOMMAND_PARAM, CommandData);
    Bytes bytes = Start<GNSS_DRIVERCOMMAND_PARAM>(kData + data.size());
    WriteField(bytes, offsetof(GNSS_DRIVERCOMMAND_PARAM, CommandType), type);
    WriteField(bytes, offsetof(GNSS_DRIVERCOMMAND_PARAM, CommandDataSize),
               DataSize(data.size(), "command data"));
    Append(bytes, kData, data);
    return bytes;
}

Bytes BuildDriverCommandValue(GNSS_DRIVERCOMMAND_TYPE type, std::uint32_t value) {
    std::uint8_t data[sizeof value];
    std::memcpy(data, &value, sizeof value);
    return BuildDriverCommand(type, data);
}

Bytes BuildFixSession(const FixSessionParameters& p) {
    Bytes bytes = Start<GNSS_FIXSESSION_PARAM>();
    GNSS_FIXSESSION_PARAM param = Read<GNSS_FIXSESSION_PARAM>(bytes);
    param.FixSessionID = p.sessionId;
    param.SessionType = p.type;
    param.HorizontalAccuracy = p.horizontalAccuracy;
    param.HorizontalConfidence = p.horizontalConfidence;
    param.FixLevelOfDetails = p.levelOfDetails;
    switch (p.type) {
        case GNSS_FixSession_SingleShot:
            param.SingleShotParam = {sizeof(GNSS_SINGLESHOT_PARAM), GNSS_INTERFACE_VERSION, p.typeValue};
            break;
        case GNSS_FixSession_DistanceTracking:
            param.DistanceParam = {sizeof(GNSS_DISTANCETRACKING_PARAM), GNSS_INTERFACE_VERSION,
                                   p.typeValue};
            break;
        case GNSS_FixSession_ContinuousTracking:
            param.ContinuousParam = {sizeof(GNSS_CONTINUOUSTRACKING_PARAM), GNSS_INTERFACE_VERSION,
                                     p.typeValue};
            break;
        case GNSS_FixSession_LKG:
            param.LkgFixParam = {sizeof(GNSS_LKGFIX_PARAM), GNSS_INTERFACE_VERSION};
            break;
        default:
            // Other types are sent as they are: refusing them is the driver's call.
            break;
    }
    Write(bytes, param);
    return bytes;
}

Bytes BuildStopFixSession(ULONG sessionId) {
    Bytes bytes = Start<GNSS_STOPFIXSESSION_PARAM>();
    WriteField(bytes, offsetof(GNSS_STOPFIXSESSION_PARAM, FixSessionID), sessionId);
    return bytes;
}

Bytes BuildSuplHslp(std::string_view hslp, std::string_view hslpFromImsi) {
    Bytes bytes = Start<GNSS_SUPL_HSLP_CONFIG>();
    CopyText(bytes, offsetof(GNSS_SUPL_HSLP_CONFIG, SuplHslp), MAX_SERVER_URL_NAME, hslp,
             "the SUPL server address");
    CopyText(bytes, offsetof(GNSS_SUPL_HSLP_CONFIG, SuplHslpFromImsi), MAX_SERVER_URL_NAME,
             hslpFromImsi, "the SUPL server address from the IMSI");
    return bytes;
}

Bytes BuildSuplCert(GNSS_SUPL_CERT_ACTION action, std::string_view name,
                    std::span<const std::uint8_t> certificate) {
    constexpr std::size_t kData = offsetof(GNSS_SUPL_CERT_CONFIG, CertData);
    Bytes bytes = Start<GNSS_SUPL_CERT_CONFIG>(kData + certificate.size());
    WriteField(bytes, offsetof(GNSS_SUPL_CERT_CONFIG, CertAction), action);
    CopyText(bytes, offsetof(GNSS_SUPL_CERT_CONFIG, SuplCertName), MAX_PATH, name,
             "the certificate name");
    WriteField(bytes, offsetof(GNSS_SUPL_CERT_CONFIG, CertSize),
               DataSize(certificate.size(), "certificate"));
    Append(bytes, kData, certificate);
    return bytes;
}

namespace {

Bytes StartInjection(GNSS_AGNSS_REQUEST_TYPE type, NTSTATUS status, std::size_t dataSize,
                     std::size_t totalSize = sizeof(GNSS_AGNSS_INJECT)) {
    Bytes bytes = Start<GNSS_AGNSS_INJECT>(totalSize);
    WriteField(bytes, offsetof(GNSS_AGNSS_INJECT, InjectionType), type);
    WriteField(bytes, offsetof(GNSS_AGNSS_INJECT, InjectionStatus), status);
    WriteField(bytes, offsetof(GNSS_AGNSS_INJECT, InjectionDataSize),
               DataSize(dataSize, "injection data"));
    return bytes;
}

}  // namespace

Bytes BuildAgnssTimeInjection(FILETIME utcTime, ULONG uncertaintyMs, NTSTATUS status) {
    Bytes bytes = StartInjection(GNSS_AGNSS_TimeInjection, status, sizeof(GNSS_AGNSS_INJECTTIME));
    const GNSS_AGNSS_INJECTTIME time{sizeof(GNSS_AGNSS_INJECTTIME), GNSS_INTERFACE_VERSION,
                                     utcTime, uncertaintyMs};
    Write(bytes, time, offsetof(GNSS_AGNSS_INJECT, Time));
    return bytes;
}

Bytes BuildAgnssPositionInjection(const GNSS_FIXDATA_BASIC& basic,
                                  const GNSS_FIXDATA_ACCURACY& accuracy, ULONG ageSeconds,
                                  NTSTATUS status) {
    Bytes bytes =
        StartInjection(GNSS_AGNSS_PositionInjection, status, sizeof(GNSS_AGNSS_INJECTPOSITION));
    const GNSS_AGNSS_INJECTPOSITION position{sizeof(GNSS_AGNSS_INJECTPOSITION),
                                             GNSS_INTERFACE_VERSION, ageSeconds, basic, accuracy};
    Write(bytes, position, offsetof(GNSS_AGNSS_INJECT, Position));
    return bytes;
}

Bytes BuildAgnssBlobInjection(ULONG blobOui, ULONG blobVersion, ULONG agnssFormat,
                              std::span<const std::uint8_t> blob, NTSTATUS status) {
    constexpr std::size_t kBlob = offsetof(GNSS_AGNSS_INJECT, BlobData);
    constexpr std::size_t kData = kBlob + offsetof(GNSS_AGNSS_INJECTBLOB, BlobData);
    Bytes bytes = StartInjection(GNSS_AGNSS_BlobInjection, status,
                                 offsetof(GNSS_AGNSS_INJECTBLOB, BlobData) + blob.size(),
                                 kData + blob.size());
    const GNSS_AGNSS_INJECTBLOB header{sizeof(GNSS_AGNSS_INJECTBLOB), GNSS_INTERFACE_VERSION,
                                       blobOui, blobVersion, agnssFormat,
                                       DataSize(blob.size(), "blob"), {0}};
    std::memcpy(bytes.data() + kBlob, &header, offsetof(GNSS_AGNSS_INJECTBLOB, BlobData));
    Append(bytes, kData, blob);
    return bytes;
}

Bytes BuildNiResponse(ULONG requestId, GNSS_NI_USER_RESPONSE response) {
    Bytes bytes = Start<GNSS_NI_RESPONSE>();
    WriteField(bytes, offsetof(GNSS_NI_RESPONSE, RequestId), requestId);
    WriteField(bytes, offsetof(GNSS_NI_RESPONSE, UserResponse), response);
    return bytes;
}

Bytes BuildSelfTestConfig(ULONG testType, std::span<const std::uint8_t> input) {
    constexpr std::size_t kData = offsetof(GNSS_SELFTESTCONFIG, InBuffer);
    Bytes bytes = Start<GNSS_SELFTESTCONFIG>(kData + input.size());
    WriteField(bytes, offsetof(GNSS_SELFTESTCONFIG, TestType), testType);
    WriteField(bytes, offsetof(GNSS_SELFTESTCONFIG, InBufLen), DataSize(input.size(), "test input"));
    Append(bytes, kData, input);
    return bytes;
}

// --- decoders ---------------------------------------------------------------------

std::string Utf16ToUtf8(const WCHAR* text, std::size_t capacity) {
    std::string out;
    for (std::size_t i = 0; i < capacity && text[i] != 0; ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < capacity && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;  // a lone surrogate
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

GNSS_DEVICE_CAPABILITY DecodeDeviceCapability(std::span<const std::uint8_t> bytes) {
    NeedAtLeast(bytes, sizeof(GNSS_DEVICE_CAPABILITY), "GNSS_DEVICE_CAPABILITY");
    return Read<GNSS_DEVICE_CAPABILITY>(bytes);
}

ChipsetInfo DecodeChipsetInfo(std::span<const std::uint8_t> bytes) {
    NeedAtLeast(bytes, sizeof(GNSS_CHIPSETINFO), "GNSS_CHIPSETINFO");
    const auto info = Read<GNSS_CHIPSETINFO>(bytes);
    return ChipsetInfo{info.Size, info.Version,
                       Utf16ToUtf8(info.ManufacturerID, std::size(info.ManufacturerID)),
                       Utf16ToUtf8(info.HardwareID, std::size(info.HardwareID)),
                       Utf16ToUtf8(info.FirmwareVersion, std::size(info.FirmwareVersion))};
}

SelfTestResult DecodeSelfTestResult(std::span<const std::uint8_t> bytes) {
    constexpr std::size_t kData = offsetof(GNSS_SELFTESTRESULT, OutBuffer);
    NeedAtLeast(bytes, kData, "GNSS_SELFTESTRESULT");
    SelfTestResult result;
    result.testResultStatus = Read<NTSTATUS>(bytes, offsetof(GNSS_SELFTESTRESULT, TestResultStatus));
    result.result = Read<ULONG>(bytes, offsetof(GNSS_SELFTESTRESULT, Result));
    result.pinFailedBitMask = Read<ULONG>(bytes, offsetof(GNSS_SELFTESTRESULT, PinFailedBitMask));
    const auto length = Read<ULONG>(bytes, offsetof(GNSS_SELFTESTRESULT, OutBufLen));
    if (length > bytes.size() - kData)
        throw FormatError("GNSS_SELFTESTRESULT: OutBufLen " + std::to_string(length) +
                          " runs past the " + std::to_string(bytes.size()) + " bytes returned");
    result.output.assign(bytes.begin() + kData, bytes.begin() + kData + length);
    return result;
}

namespace {

constexpr std::size_t kEventData = offsetof(GNSS_EVENT, FixData);

template <class T>
T EventPayload(std::span<const std::uint8_t> bytes, ULONG dataSize, const char* what) {
    if (dataSize < sizeof(T))
        throw FormatError(std::string("GNSS_EVENT: EventDataSize ") + std::to_string(dataSize) +
                          " is below the " + std::to_string(sizeof(T)) + " bytes of " + what);
    NeedAtLeast(bytes, kEventData + sizeof(T), "GNSS_EVENT");
    return Read<T>(bytes, kEventData);
}

}  // namespace

Event DecodeEvent(std::span<const std::uint8_t> bytes) {
    NeedAtLeast(bytes, kEventData, "GNSS_EVENT");
    Event event;
    event.type = Read<GNSS_EVENT_TYPE>(bytes, offsetof(GNSS_EVENT, EventType));
    event.dataSize = Read<ULONG>(bytes, offsetof(GNSS_EVENT, EventDataSize));
    switch (event.type) {
        case GNSS_Event_FixAvailable:
            event.data = EventPayload<GNSS_FIXDATA>(bytes, event.dataSize, "GNSS_FIXDATA");
            break;
        case GNSS_Event_RequireAgnss:
            event.data = EventPayload<GNSS_AGNSS_REQUEST_PARAM>(bytes, event.dataSize,
                                                                "GNSS_AGNSS_REQUEST_PARAM");
            break;
        case GNSS_Event_Error: {
            const auto e = EventPayload<GNSS_ERRORINFO>(bytes, event.dataSize, "GNSS_ERRORINFO");
            event.data = ErrorInfo{static_cast<HRESULT>(e.ErrorCode), e.IsRecoverable != 0,
                                   Utf16ToUtf8(e.ErrorDescription, std::size(e.ErrorDescription))};
            break;
        }
        case GNSS_Event_NiRequest:
            event.data = EventPayload<GNSS_NI_REQUEST_PARAM>(bytes, event.dataSize,
                                                             "GNSS_NI_REQUEST_PARAM");
            break;
        case GNSS_Event_NmeaData: {
            const auto n = EventPayload<GNSS_NMEA_DATA>(bytes, event.dataSize, "GNSS_NMEA_DATA");
            const std::size_t length =
                std::find(std::begin(n.NmeaSentences), std::end(n.NmeaSentences), '\0') -
                std::begin(n.NmeaSentences);
            event.data = NmeaData{std::string(n.NmeaSentences, length)};
            break;
        }
        case GNSS_Event_DriverRequest:
            event.data = EventPayload<GNSS_DRIVER_REQUEST_DATA>(bytes, event.dataSize,
                                                                "GNSS_DRIVER_REQUEST_DATA");
            break;
        default: {
            if (event.dataSize == 0) break;
            if (event.dataSize > bytes.size() - kEventData)
                throw FormatError("GNSS_EVENT: EventDataSize " + std::to_string(event.dataSize) +
                                  " runs past the " + std::to_string(bytes.size()) +
                                  " bytes returned");
            const auto data = bytes.subspan(kEventData, event.dataSize);
            if (event.type == GNSS_Event_Custom && data.size() >= sizeof(GNSS_SERVICE_STATUS_EVENT)) {
                const auto s = Read<GNSS_SERVICE_STATUS_EVENT>(data);
                if (s.Kind == GNSS_CUSTOM_EVENT_SERVICE_STATUS) {
                    event.data = ServiceStatus{s.Status};
                    break;
                }
            }
            event.data = Bytes(data.begin(), data.end());
            break;
        }
    }
    return event;
}

}  // namespace gnss::client
