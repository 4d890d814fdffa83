// Driver commands from the platform, and the answer to a listen-driver-request.
#include <cstring>

#include "GnssState.h"
#include "engine/AtClient.h"

namespace {

// The driver's own command types above GNSS_CustomCommand (0x100).
constexpr ULONG kCustomRadioStateQuery = 0x101;
constexpr ULONG kCustomNoEffect = 0x102;
constexpr ULONG kCustomNotSupported1 = 0x103;
constexpr ULONG kCustomNotSupported2 = 0x104;
constexpr ULONG kCustomAgnssPositioning = 0x105;
constexpr ULONG kCustomPgnssPositioning = 0x106;

constexpr std::size_t kCommandDataOffset = offsetof(GNSS_DRIVERCOMMAND_PARAM, CommandData);

ULONG ReadUlong(const GNSS_DRIVERCOMMAND_PARAM* command) {
    ULONG value = 0;
    std::memcpy(&value, reinterpret_cast<const BYTE*>(command) + kCommandDataOffset, sizeof value);
    return value;
}

BYTE ReadByte(const GNSS_DRIVERCOMMAND_PARAM* command) {
    return *(reinterpret_cast<const BYTE*>(command) + kCommandDataOffset);
}

}  // namespace

NTSTATUS OnGNSSSendDriverCommand(WDFREQUEST Request, std::size_t InputBufferLength) {
    PVOID buffer = nullptr;
    NTSTATUS status = HelperGetInputBuffer(Request, InputBufferLength,
                                           sizeof(GNSS_DRIVERCOMMAND_PARAM), &buffer);
    if (!NT_SUCCESS(status)) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: HelperGetInputBuffer FAILED", TAG_IOCTRL, __func__);
        WdfRequestSetInformation(Request, sizeof(ULONG));
        WdfRequestComplete(Request, status);
        return status;
    }
    const auto* command = static_cast<const GNSS_DRIVERCOMMAND_PARAM*>(buffer);
    const ULONG size = command->CommandDataSize;
    status = STATUS_INTERNAL_ERROR;
    auto engineResult = [&status](BOOL accepted) {
        if (accepted == TRUE) status = STATUS_SUCCESS;
    };
    // A command that reads `needed` bytes of data needs a CommandDataSize of
    // at least that, and the data it announces must lie inside the input: the
    // size field is the caller's word, the input length is the framework's.
    auto hasData = [&, function = __func__](ULONG needed, const char* name) {
        if (size < needed) {
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: %s Invalid SIZE, InSize=%d", TAG_IOCTRL,
                    function, name, static_cast<int>(size));
            return false;
        }
        if (size > InputBufferLength - kCommandDataOffset) {
            GnssLog(GNSS_LEVEL_ERROR,
                    "[%s] %s ERROR: %s CommandDataSize=%u runs past the input, InputBufferLength=%u",
                    TAG_IOCTRL, function, name, static_cast<unsigned>(size),
                    static_cast<unsigned>(InputBufferLength));
            status = STATUS_INVALID_PARAMETER;
            return false;
        }
        return true;
    };

    switch (static_cast<ULONG>(command->CommandType)) {
        case GNSS_SetLocationServiceEnabled:
            if (hasData(1, "GNSS_SetLocationServiceEnabled")) {
                const BYTE enable = ReadByte(command);
                GnssLog(GNSS_LEVEL_INFO, "[%s] %s GNSS_SetLocationServiceEnabled Data=%d",
                        TAG_IOCTRL, __func__, enable);
                engineResult(atclient_SetGnssPositioning(enable));
                RadioState = enable;
            }
            break;
        case GNSS_SetLocationNIRequestAllowed:
            if (hasData(1, "GNSS_SetLocationNIRequestAllowed")) {
                GnssLog(GNSS_LEVEL_INFO, "[%s] %s GNSS_SetLocationNIRequestAllowed Data=%d",
                        TAG_IOCTRL, __func__, ReadByte(command));
                status = STATUS_SUCCESS;
            }
            break;
        case GNSS_ForceSatelliteSystem:
            if (hasData(4, "GNSS_ForceSatelliteSystem")) {
                GnssLog(GNSS_LEVEL_INFO, "[%s] %s GNSS_ForceSatelliteSystem Data=%d", TAG_IOCTRL,
                        __func__, static_cast<int>(ReadUlong(command)));
                engineResult(atclient_UpdateSatelliteSystem(ReadUlong(command)));
            }
            break;
        case GNSS_ForceOperationMode:
            if (hasData(4, "GNSS_ForceOperationMode")) {
                GnssLog(GNSS_LEVEL_INFO, "[%s] %s GNSS_ForceOperationMode Data=%d", TAG_IOCTRL,
                        __func__, static_cast<int>(ReadUlong(command)));
                engineResult(atclient_UpdateOperationMode(ReadUlong(command)));
            }
            break;
        case GNSS_ResetEngine:
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s GNSS_ResetEngine", TAG_IOCTRL, __func__);
            ClearFreshFixFlag();
            engineResult(atclient_ClearAgnssData(0));
            break;
        case GNSS_ClearAgnssData:
            ClearFreshFixFlag();
            if (hasData(4, "GNSS_ClearAgnssData")) {
                GnssLog(GNSS_LEVEL_INFO, "[%s] %s GNSS_ClearAgnssData Data=%d", TAG_IOCTRL, __func__,
                        static_cast<int>(ReadUlong(command)));
                engineResult(atclient_ClearAgnssData(static_cast<LONG>(ReadUlong(command))));
            }
            break;
        case GNSS_SetSuplVersion:
            if (hasData(sizeof(GNSS_SUPL_VERSION), "GNSS_SetSuplVersion")) {
                GNSS_SUPL_VERSION version;
                std::memcpy(&version, reinterpret_cast<const BYTE*>(command) + kCommandDataOffset,
                            sizeof version);
                GnssLog(GNSS_LEVEL_INFO, "[%s] %s GNSS_SetSuplVersion MajVer=%d, MinVer=%d",
                        TAG_IOCTRL, __func__, static_cast<int>(version.MajorVersion),
                        static_cast<int>(version.MinorVersion));
                engineResult(atclient_SetSuplVersion(&version));
            }
            break;
        case GNSS_SetNMEALogging:
            if (hasData(4, "GNSS_SetNMEALogging")) {
                GnssLog(GNSS_LEVEL_INFO, "[%s] %s GNSS_SetNMEALogging Data=%d", TAG_IOCTRL, __func__,
                        static_cast<int>(ReadUlong(command)));
                engineResult(atclient_SetNmea(ReadUlong(command)));
            }
            break;
        case GNSS_SetUplServerAccessInterval:
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: GNSS_SetUplServerAccessInterval STATUS_NOT_SUPPORTED",
                    TAG_IOCTRL, __func__);
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: STATUS_NOT_SUPPORTED", TAG_IOCTRL, __func__);
            status = STATUS_NOT_SUPPORTED;
            break;
        case GNSS_SetNiTimeoutInterval:
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: GNSS_SetNiTimeoutInterval STATUS_NOT_SUPPORTED",
                    TAG_IOCTRL, __func__);
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: STATUS_NOT_SUPPORTED", TAG_IOCTRL, __func__);
            status = STATUS_NOT_SUPPORTED;
            break;
        case GNSS_ResetGeofencesTracking:
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: GNSS_ResetGeofencesTracking STATUS_NOT_SUPPORTED",
                    TAG_IOCTRL, __func__);
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: STATUS_NOT_SUPPORTED", TAG_IOCTRL, __func__);
            status = STATUS_NOT_SUPPORTED;
            break;
        default: {
            const ULONG type = static_cast<ULONG>(command->CommandType);
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Custom Commad Type=%d", TAG_IOCTRL, __func__,
                    static_cast<int>(type));
            switch (type) {
                case kCustomRadioStateQuery:
                    status = RadioState != 0 ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
                    break;
                case kCustomNoEffect:
                    status = STATUS_SUCCESS;
                    break;
                case kCustomNotSupported1:
                case kCustomNotSupported2:
                    GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: STATUS_NOT_SUPPORTED", TAG_IOCTRL, __func__);
                    status = STATUS_NOT_SUPPORTED;
                    break;
                case kCustomAgnssPositioning:
                    engineResult(atclient_SetAgnssPositioning(ReadUlong(command)));
                    break;
                case kCustomPgnssPositioning:
                    engineResult(atclient_SetPgnssPositioning(ReadUlong(command)));
                    break;
                default:
                    GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Unknown Driver Command", TAG_IOCTRL, __func__);
                    GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: STATUS_NOT_SUPPORTED", TAG_IOCTRL, __func__);
                    status = STATUS_NOT_SUPPORTED;
                    break;
            }
            break;
        }
    }

    if (!NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED)
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: status=0x%X", TAG_IOCTRL, __func__,
                static_cast<ULONG>(status));
    if (status == STATUS_NOT_SUPPORTED || status == STATUS_ACCESS_DENIED) return status;
    WdfRequestSetInformation(Request, sizeof(ULONG));
    WdfRequestComplete(Request, status);
    return status;
}

NTSTATUS OnGNSSRequestDriver(WDFREQUEST Request, const GNSS_DRIVER_REQUEST_DATA* RequestData) {
    return HelperAnswerListener(__func__, Request, GNSS_Event_DriverRequest, RequestData,
                                sizeof(GNSS_DRIVER_REQUEST_DATA));
}
